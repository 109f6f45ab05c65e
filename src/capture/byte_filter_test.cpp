#include "capture/byte_filter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testing/console_capture.h"
#include "testing/filter_run.h"
#include "testing/temp_dir.h"

namespace {

FilterSettings markers(bool showRejected = false) {
  FilterSettings s;
  s.beginMarker = s.endMarker = '^';
  s.showRejected = showRejected;
  return s;
}

TEST(ByteFilter, DefaultsKeepPrintableTextAndLineFeeds) {
  FilterRun out = runFilter(FilterSettings{}, "AB\r\nC\n");
  EXPECT_EQ(out.file, "AB\r\nC\r\n");
  EXPECT_EQ(out.console, "!");
  EXPECT_EQ(out.state.totalByteInFile, 5);
  EXPECT_EQ(out.verdict, FilterVerdict::kContinue);
}

TEST(ByteFilter, RejectedBytesShowAsBangOrHexByLogLevel) {
  FilterSettings quiet;
  EXPECT_EQ(runFilter(quiet,
                      "\xff\t\x01"
                      "a")
                .console,
            "!!!");
  FilterSettings debug;
  debug.logLevel = 1;
  FilterRun d = runFilter(debug,
                          "\xff\r\x01"
                          "A\n");
  EXPECT_EQ(d.console, "<ff><0d><01>A.");
  EXPECT_EQ(d.file, "A\r\n");
  FilterSettings keep;
  keep.filterOff = true;
  FilterRun k = runFilter(keep, std::string("\xff\x00\r\n", 4));
  EXPECT_EQ(k.file, std::string("\xff\x00\r\r\n", 5));
  EXPECT_EQ(k.console, "");
  EXPECT_EQ(k.state.totalByteInFile, 4);
}

TEST(ByteFilter, SplitMarkers) {
  FilterRun mh = runFilter(markers(), "noise^kept^more");
  EXPECT_EQ(mh.file, "kept");
  EXPECT_EQ(mh.console, "");
  EXPECT_FALSE(mh.state.inSegment);

  FilterRun md = runFilter(markers(true), "noise^kept^more\x01");
  EXPECT_EQ(md.file, "kept");
  EXPECT_EQ(md.console, "noisemore\x01");

  FilterSettings angle;
  angle.beginMarker = '<';
  angle.endMarker = '>';
  FilterRun a = runFilter(angle, "x<a^b>y<c>");
  EXPECT_EQ(a.file, "a^bc");
  EXPECT_EQ(a.state.segmentCount, 1);

  FilterSettings debug = markers();
  debug.logLevel = 1;
  EXPECT_EQ(runFilter(debug, "^ab^").console,
            "^\n>>>begin marker ^\nab^\n>>>End marker ^ 2 chars\n");
}

TEST(ByteFilter, NulNeverOpensOrClosesASegment) {
  FilterSettings noEnd = markers();
  noEnd.endMarker = 0;
  noEnd.filterOff = true;
  FilterRun out = runFilter(noEnd, std::string("\0^a\0b", 5));
  EXPECT_EQ(out.file, std::string("a\0b", 3));
  EXPECT_TRUE(out.state.inSegment);
}

TEST(ByteFilter, ControlBytes) {
  // Ctrl-Z ends, is never written, and drops the rest of the read.
  FilterRun z = runFilter(markers(), std::vector<std::string>{"^abc\x1a"
                                                              "def",
                                                              "ghi"});
  EXPECT_EQ(z.file, "abc");
  EXPECT_EQ(z.verdict, FilterVerdict::kEnd);

  // Ctrl-Y flushes, also inside a segment with the filter off.
  FilterSettings keep;
  keep.filterOff = true;
  keep.logLevel = 1;
  FilterRun y = runFilter(keep,
                          "a\x19"
                          "b\x1a");
  EXPECT_EQ(y.file, "ab");
  EXPECT_EQ(y.console, "a<19>\n>>> flush\nb<1a>\n>>> close\n");
}

TEST(ByteFilter, CtrlYPutsEverythingSoFarInTheFile) {
  TempDir dir;
  ConsoleCapture console;
  FilterSettings settings;
  FilterState state;
  CaptureFile file(console.stream());
  ASSERT_EQ(file.open(dir.file("c.txt").c_str()), 0);
  ByteFilter filter(settings, state, file, console.stream());
  const std::string input = "line\n\x19tail";
  filter.filter(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  EXPECT_EQ(readWholeFile(dir.file("c.txt")), "line\r\n");
}

TEST(ByteFilter, EndPhrase) {
  struct Case {
    const char* input;
    bool ends;
    const char* file;
  } cases[] = {
      {"xkwo end", true, "xkwo end\r\n"},
      {"kwo end and more", true, "kwo end\r\n"},
      // A byte that breaks a partial match may start the phrase itself.
      {"kkwo end", true, "kkwo end\r\n"},
      {"kwo kwo end", true, "kwo kwo end\r\n"},
      {"kwo ekwo end", true, "kwo ekwo end\r\n"},
      {"kwo en", false, "kwo en"},
      {"KWO END", false, "KWO END"},
      {"kwo\r end", true, "kwo end\r\n"},  // a rejected byte neither advances nor breaks
  };
  for (const Case& c : cases) {
    FilterRun out = runFilter(FilterSettings{}, c.input);
    EXPECT_EQ(out.verdict == FilterVerdict::kEnd, c.ends) << c.input;
    EXPECT_EQ(out.file, c.file) << c.input;
    EXPECT_EQ(out.console.find("\n>>> kwo end\n") != std::string::npos, c.ends) << c.input;
  }
  FilterRun x = runFilter(FilterSettings{}, "xkwo end");
  EXPECT_EQ(x.state.totalByteInFile, 9);
  EXPECT_EQ(x.console, "\n>>> kwo end\n");
}

TEST(ByteFilter, EndPhraseOnlyInsideSegments) {
  EXPECT_EQ(runFilter(markers(), "kwo end^x").verdict, FilterVerdict::kContinue);
  // Marker bytes in the middle neither advance nor break the match.
  FilterRun split = runFilter(markers(), "^kwo^x^ end^");
  EXPECT_EQ(split.verdict, FilterVerdict::kEnd);
  EXPECT_EQ(split.file, "kwo end\r\n");
}

TEST(ByteFilter, StateCarriesAcrossReads) {
  FilterRun out = runFilter(markers(), std::vector<std::string>{"^ab", "c^x^kw", "o e", "nd^"});
  EXPECT_EQ(out.verdict, FilterVerdict::kEnd);
  EXPECT_EQ(out.file, "abckwo end\r\n");
}

TEST(ByteFilter, CountersAreSixtyFourBit) {
  FilterSettings settings;
  FilterState state;
  state.totalByteInFile = INT32_MAX;
  state.segmentCount = INT32_MAX;
  ConsoleCapture console;
  CaptureFile file(console.stream());  // never opened: writes go nowhere
  ByteFilter filter(settings, state, file, console.stream());
  filter.filterByte('a');
  EXPECT_EQ(state.totalByteInFile, int64_t{INT32_MAX} + 1);
  EXPECT_EQ(state.segmentCount, int64_t{INT32_MAX} + 1);
}

// The block path must give exactly what the one-byte rule gives, whatever
// the settings, the input and where reads are split. It takes plain text
// many bytes at a time, so the input mixes long plain stretches with the
// bytes that need a decision, landing at every position of a block and at
// the edges of reads; markers include bytes the block path handles itself
// (line feed, carriage return, the phrase's letters, a space).
TEST(ByteFilter, BlockPathMatchesTheOneByteRule) {
  std::mt19937 random(12345);
  const std::string alphabet = std::string("kwo end^<>abc\r\n\x19\x01\xff", 19);
  const std::string text = "The quick brown fox jumps over a lazy dog 0123456789";
  const uint8_t markerChoices[] = {0, '^', '\n', '\r', 'k', 'w', ' ', 'e', 0xff};
  auto pickMarker = [&] { return markerChoices[random() % sizeof markerChoices]; };
  for (int round = 0; round < 600; ++round) {
    FilterSettings s;
    int mode = round % 6;
    if (mode >= 1) s.beginMarker = s.endMarker = '^';
    if (mode == 2) s.showRejected = true;
    if (mode == 3) {
      s.beginMarker = '<';
      s.endMarker = '>';
    }
    if (mode == 5) {
      s.beginMarker = pickMarker();
      s.endMarker = random() % 2 ? s.beginMarker : pickMarker();
      s.showRejected = random() % 2;
    }
    s.filterOff = round % 3 == 0;
    // Now and then a read long enough to fill the capture file's buffer.
    const bool big = round % 50 == 7;
    std::vector<std::string> reads;
    for (int r = 0; r < 4; ++r) {
      std::string read;
      size_t length = big && r == 1 ? 70000 : random() % (round % 2 ? 40 : 300);
      bool plain = false;
      for (size_t i = 0; i < length; ++i) {
        // Long stretches of text lines with now and then a lone CR or LF,
        // short ones of anything; now and then a Ctrl-Z.
        if (random() % (plain ? 100 : 16) == 0) plain = !plain;
        if (random() % (big ? 100000 : 200) == 0) {
          read += '\x1a';
        } else if (plain) {
          const unsigned pick = random() % 64;
          read += pick < 3    ? std::string("\r\n")
                  : pick == 3 ? std::string("\r")
                  : pick == 4 ? std::string("\n")
                              : std::string(1, text[random() % text.size()]);
        } else {
          read += alphabet[random() % alphabet.size()];
        }
      }
      reads.push_back(read);
    }
    FilterRun block = runFilter(s, reads);
    FilterRun single = runFilter(s, reads, nullptr, FilterFeed::kPerByte);
    ASSERT_EQ(block.file, single.file) << round;
    ASSERT_EQ(block.console, single.console) << round;
    ASSERT_EQ(block.verdict, single.verdict) << round;
    ASSERT_EQ(block.state.totalByteInFile, single.state.totalByteInFile) << round;
    ASSERT_EQ(block.state.segmentCount, single.state.segmentCount) << round;
    ASSERT_EQ(block.state.matchPos, single.state.matchPos) << round;
    ASSERT_EQ(block.state.inSegment, single.state.inSegment) << round;
  }
}

}  // namespace
