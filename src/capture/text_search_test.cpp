#include "capture/text_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Where each occurrence ends, the search starting afresh after each one.
std::vector<size_t> naiveEnds(const std::string& text, const std::string& data) {
  std::vector<size_t> ends;
  for (size_t from = 0;;) {
    const size_t at = data.find(text, from);
    if (at == std::string::npos) return ends;
    ends.push_back(at + text.size());
    from = at + text.size();
  }
}

// The same through find(), with the data cut into pieces of `piece` bytes.
std::vector<size_t> piecewiseEnds(const std::string& text, const std::string& data, size_t piece) {
  TextSearch search(text);
  std::vector<size_t> ends;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  for (size_t start = 0; start < data.size(); start += piece) {
    size_t at = start;
    const size_t stop = std::min(data.size(), start + piece);
    while (at < stop) {
      const size_t n = search.find(bytes + at, stop - at);
      if (n == TextSearch::kNotFound) break;
      at += n;
      ends.push_back(at);
    }
  }
  return ends;
}

TEST(TextSearch, FindsEveryOccurrenceHoweverTheBytesAreCut) {
  const std::string noise = "xx kkwo end kwo kwo end\r\nlogin: lo\x08gin:  aab aaab ababab";
  const std::vector<std::string> texts = {
      "kwo end", "login:", "aab", "abab", "a", "=> ", std::string("\0\xff", 2), "\r\n"};
  const std::string data = noise + std::string("\0\xff\0\xff", 4) + noise;
  for (const std::string& text : texts) {
    const std::vector<size_t> want = naiveEnds(text, data);
    for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{8}, data.size()}) {
      EXPECT_EQ(piecewiseEnds(text, data, piece), want)
          << "text size " << text.size() << ", pieces of " << piece;
    }
  }
}

TEST(TextSearch, StepAndFindAgree) {
  const std::string data = "abaababaabaababab";
  TextSearch stepped("ababa");
  std::vector<size_t> ends;
  for (size_t i = 0; i < data.size(); ++i) {
    if (stepped.step(static_cast<uint8_t>(data[i]))) ends.push_back(i + 1);
  }
  EXPECT_EQ(ends, naiveEnds("ababa", data));
}

TEST(TextSearch, ResetForgetsAPartialMatch) {
  TextSearch search("login:");
  const std::string first = "log";
  const std::string second = "in:";
  auto bytes = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  EXPECT_EQ(search.find(bytes(first), first.size()), TextSearch::kNotFound);
  search.reset();
  EXPECT_EQ(search.find(bytes(second), second.size()), TextSearch::kNotFound);
}

}  // namespace
