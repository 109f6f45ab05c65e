// The filter with a line tap: the file holds what it holds without one, a
// stamp before each line, and the tap's fail texts see the lines as written.
#include "capture/line_tap.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testing/filter_run.h"

namespace {

// Every line of `file` with `prefix` before it.
std::string stamped(const std::string& file, const std::string& prefix) {
  std::string out;
  bool lineStart = true;
  for (char c : file) {
    if (lineStart) out += prefix;
    out += c;
    lineStart = c == '\n';
  }
  return out;
}

std::vector<FilterSettings> someSettings() {
  FilterSettings plain;
  FilterSettings off;
  off.filterOff = true;
  FilterSettings markers;
  markers.beginMarker = markers.endMarker = '^';
  FilterSettings shown = markers;
  shown.showRejected = true;
  return {plain, off, markers, shown};
}

// Random reads of text, noise, markers and the end phrase: through the tap
// the file and the console are the block path's, stamps aside, and the
// filter's counters leave the stamps out.
TEST(LineTap, FilterWritesTheSameWithATap) {
  std::mt19937 random(18);
  const std::string pieces[] = {"text ", "\n",   "\r\n",     "^", "kwo",
                                " end",  "\x19", "\xff\x01", "k", "kwo end\n"};
  for (const FilterSettings& settings : someSettings()) {
    for (int round = 0; round < 50; ++round) {
      std::vector<std::string> reads(1 + random() % 4);
      for (std::string& read : reads) {
        for (int n = random() % 12; n > 0; --n) read += pieces[random() % std::size(pieces)];
      }
      reads.push_back("\x1a\n");
      const FilterRun plain = runFilter(settings, reads, nullptr);
      LineTap tap(LineStamper(TimestampMode::kElapsed, {}), nullptr);
      const FilterRun tapped = runFilter(settings, reads, &tap);
      EXPECT_EQ(tapped.file, stamped(plain.file, "0.000 "));
      EXPECT_EQ(tapped.console, plain.console);
      EXPECT_EQ(tapped.state.totalByteInFile, plain.state.totalByteInFile);
      EXPECT_EQ(tapped.state.end, plain.state.end);
    }
  }
}

TEST(LineTap, FailTextsSeeTheLinesAsWritten) {
  ConsoleCapture console;
  FailTextMatcher matcher({"kept"}, console.stream());
  LineTap tap(LineStamper(TimestampMode::kIso, {}), &matcher);
  FilterSettings markers;
  markers.beginMarker = markers.endMarker = '^';
  // Only the text inside the markers is written: "kept" outside never counts.
  runFilter(markers, {"kept ^a\nke", "pt\n^kept^b\n^\x1a\n"}, &tap);
  matcher.finish();
  ASSERT_EQ(matcher.matches().size(), 1u);
  EXPECT_EQ(matcher.matches()[0].line, 2);
  EXPECT_EQ(matcher.matches()[0].text, "kept");
}

TEST(LineTap, EndReasons) {
  EXPECT_EQ(runFilter({}, {"a\n\x1a\n"}, nullptr).state.end, FilterState::End::kCtrlZ);
  EXPECT_EQ(runFilter({}, {"a kwo end\n"}, nullptr).state.end, FilterState::End::kEndPhrase);
  EXPECT_EQ(runFilter({}, {"a\n"}, nullptr).state.end, FilterState::End::kNone);
}

}  // namespace
