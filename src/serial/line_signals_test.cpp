#include "serial/line_signals.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "testing/console_capture.h"

namespace {

struct Applied {
  std::vector<int> codes;
  std::string console;
};

// Runs a list against a fake line that fails the codes in `failing` with EIO.
Applied run(const char* list, std::vector<int> failing = {}) {
  Applied applied;
  ConsoleCapture console;
  applySignalList(
      list,
      [&](LineSignal signal) {
        // A signal's value is its escape code.
        const int code = static_cast<int>(signal);
        applied.codes.push_back(code);
        for (int f : failing) {
          if (f == code) return EIO;
        }
        return 0;
      },
      console.stream());
  applied.console = console.text();
  return applied;
}

TEST(LineSignals, AppliesEachNamedSignalInListOrder) {
  Applied a = run("SETDTR,CLRRTS");
  EXPECT_EQ(a.codes, (std::vector<int>{5, 4}));
  EXPECT_EQ(a.console, "#* Set Signal SETDTR\n#* Set Signal CLRRTS\n");

  Applied all = run("SETXOFF,SETXON,SETRTS,CLRRTS,SETDTR,CLRDTR,777777,SETBREAK,CLRBREAK");
  EXPECT_EQ(all.codes, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(LineSignals, MatchingRules) {
  struct Case {
    const char* list;
    std::vector<int> codes;
  } cases[] = {
      {"", {}},
      {"NONE", {}},
      {"setdtr", {}},       // case matters
      {" SETDTR", {}},      // spaces are not skipped
      {"SETDTRX", {5}},     // a prefix match; the rest of the item is ignored
      {"SETDTR,", {5}},     // a trailing comma ends the list
      {",,SETRTS,,", {3}},  // empty items are skipped
      {"7777777,CLRBREAK", {7, 9}},
      {"SETBREAK;CLRBREAK", {8}},  // only commas separate items
  };
  for (const Case& c : cases) {
    Applied a = run(c.list);
    EXPECT_EQ(a.codes, c.codes) << '"' << c.list << '"';
    if (c.codes.empty()) {
      EXPECT_EQ(a.console, "") << c.list;
    }
  }
}

TEST(LineSignals, AFailedSignalIsReportedAndTheListGoesOn) {
  Applied a = run("SETRTS,777777,SETDTR", {3});
  EXPECT_EQ(a.codes, (std::vector<int>{3, 7, 5}));
  EXPECT_EQ(a.console,
            "#!!Set Signal SETRTS failed 5\n#* Set Signal 777777\n#* Set Signal SETDTR\n");
}

}  // namespace
