#include "capture/fail_text_matcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/console_capture.h"

bool operator==(const FailMatch& a, const FailMatch& b) {
  return a.line == b.line && a.text == b.text;
}
void PrintTo(const FailMatch& m, std::ostream* os) {
  *os << m.line << ":" << m.text;
}

namespace {

struct Matched {
  std::vector<FailMatch> matches;
  int64_t count;
  std::string console;
};

// Feeds `reads` in turn, as the filter writes them, then ends the run.
Matched match(const std::vector<const char*>& texts, const std::vector<std::string>& reads) {
  ConsoleCapture console;
  FailTextMatcher matcher(texts, console.stream());
  for (const std::string& r : reads) {
    matcher.feed(reinterpret_cast<const uint8_t*>(r.data()), r.size());
  }
  matcher.finish();
  return {matcher.matches(), matcher.matchCount(), console.text()};
}

TEST(FailTextMatcher, FindsLinesHoldingATextHoweverTheReadsCutThem) {
  struct Case {
    const char* name;
    std::vector<const char*> texts;
    std::vector<std::string> reads;
    std::vector<FailMatch> expected;
  } cases[] = {
      {"whole line", {"FAIL"}, {"ok\nFAIL: x\nok\n"}, {{2, "FAIL: x"}}},
      {"split across reads", {"FAIL"}, {"ok\nte", "st FA", "IL", "ED\n"}, {{2, "test FAILED"}}},
      {"one byte per read", {"abc"}, {"x", "a", "b", "c", "y", "\n"}, {{1, "xabcy"}}},
      {"unfinished last line",
       {"panic"},
       {"boot\nkernel panic - not"},
       {{2, "kernel panic - not"}}},
      {"a line counts once", {"E", "RR"}, {"ERROR ERROR\n"}, {{1, "ERROR ERROR"}}},
      {"several texts, several lines",
       {"oops", "FAIL"},
       {"oops\nfine\nFAIL\n"},
       {{1, "oops"}, {3, "FAIL"}}},
      // A partial match must not hide one that starts inside it.
      {"overlapping start", {"aab"}, {"aaab\n"}, {{1, "aaab"}}},
      {"never across a line end", {"ab"}, {"a\nb\n"}, {}},
      {"the device's CR is part of the line end", {"x"}, {"x\r\n"}, {{1, "x"}}},
      {"empty lines are numbered", {"x"}, {"\n\n\nx"}, {{4, "x"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Matched run = match(c.texts, c.reads);
    EXPECT_EQ(run.matches, c.expected);
    EXPECT_EQ(run.count, static_cast<int64_t>(c.expected.size()));
  }
}

TEST(FailTextMatcher, EachMatchPrintsOneLine) {
  Matched run = match({"FAIL"}, {"a\nFAIL\nb\nxFAILx\n"});
  EXPECT_EQ(run.console, "\n>>>fail text in line 2 : FAIL\n\n>>>fail text in line 4 : FAIL\n");
  EXPECT_EQ(match({"FAIL"}, {"all well\n"}).console, "");
}

TEST(FailTextMatcher, KeepsTheFirstHundredAndCountsAll) {
  std::string many;
  for (int i = 0; i < 150; ++i) many += "E\n";
  Matched run = match({"E"}, {many});
  EXPECT_EQ(run.count, 150);
  ASSERT_EQ(run.matches.size(), FailTextMatcher::kKeptMatches);
  EXPECT_EQ(run.matches.back().line, 100);
}

// A line that never ends is searched to its end but kept only in part.
TEST(FailTextMatcher, LongLineIsSearchedWholeButKeptInPart) {
  const std::string head(FailTextMatcher::kKeptLineBytes, 'x');
  Matched run = match({"END"}, {head, "yyEND"});
  ASSERT_EQ(run.matches.size(), 1u);
  EXPECT_EQ(run.matches[0].text, head);
}

TEST(FailTextMatcher, NoTextsNoWork) {
  ConsoleCapture console;
  FailTextMatcher matcher({}, console.stream());
  EXPECT_FALSE(matcher.enabled());
  EXPECT_FALSE(FailTextMatcher({""}, console.stream()).enabled());
}

}  // namespace
