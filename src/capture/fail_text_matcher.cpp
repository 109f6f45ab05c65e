// The fail-text matcher. Once a line has matched, the rest of it is only
// kept, not searched: a line counts once however many texts it holds.
#include "capture/fail_text_matcher.h"

#include <algorithm>
#include <cstring>

FailTextMatcher::FailTextMatcher(const std::vector<const char*>& texts, std::FILE* console)
    : console_(console) {
  for (const char* text : texts) {
    if (*text == '\0') continue;  // would match every line
    patterns_.emplace_back(text);
  }
}

bool FailTextMatcher::step(uint8_t byte) {
  for (TextSearch& p : patterns_) {
    if (p.step(byte)) {
      lineMatched(p);
      return true;
    }
  }
  return false;
}

void FailTextMatcher::lineMatched(const TextSearch& pattern) {
  lineHasMatch_ = true;
  ++matchCount_;
  std::fprintf(console_, "\n>>>fail text in line %lld : %s\n", static_cast<long long>(lineNumber_),
               pattern.text().c_str());
  keptLineMatch_ = matches_.size() < kKeptMatches;
  if (keptLineMatch_) matches_.push_back({lineNumber_, ""});
}

void FailTextMatcher::endLine() {
  if (keptLineMatch_) {
    // A carriage return before the line feed belongs to the line's end.
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    matches_.back().text = line_;
  }
  line_.clear();
  for (TextSearch& p : patterns_) p.reset();
  lineHasMatch_ = false;
  keptLineMatch_ = false;
}

void FailTextMatcher::feed(const uint8_t* data, size_t length) {
  if (!enabled()) return;
  const uint8_t* end = data + length;
  while (data < end) {
    const uint8_t* lineEnd = static_cast<const uint8_t*>(std::memchr(data, '\n', end - data));
    const uint8_t* stop = lineEnd != nullptr ? lineEnd : end;
    const size_t room = kKeptLineBytes - std::min(line_.size(), kKeptLineBytes);
    line_.append(reinterpret_cast<const char*>(data),
                 std::min(static_cast<size_t>(stop - data), room));
    for (const uint8_t* p = data; p < stop && !lineHasMatch_; ++p) step(*p);
    data = stop;
    if (lineEnd != nullptr) {
      endLine();
      ++lineNumber_;
      ++data;
    }
  }
}

void FailTextMatcher::finish() {
  if (keptLineMatch_) matches_.back().text = line_;
  keptLineMatch_ = false;
}
