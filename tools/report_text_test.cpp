#include "report_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using std::chrono::milliseconds;

struct GoodCase {
  const char* name;
  std::string text;
  Report expected;
};

TEST(ReportText, EscapesAndPauses) {
  const GoodCase cases[] = {
      {"empty", "", {}},
      {"plain text", "RESULT ok", {{"RESULT ok", {}}}},
      {"real line feed kept", "a\nb", {{"a\nb", {}}}},
      {"named escapes", R"(a\nb\rc\td\\e)", {{"a\nb\rc\td\\e", {}}}},
      {"hex nul", R"(\x00)", {{std::string(1, '\0'), {}}}},
      {"hex ff lower", R"(\xff)", {{"\xff", {}}}},
      {"hex FF upper", R"(\xFF)", {{"\xff", {}}}},
      {"hex then digit", R"(\x4142)", {{"A42", {}}}},
      {"control bytes", R"(\x19\n\x1a\n)", {{"\x19\n\x1a\n", {}}}},
      {"pause splits", R"(a\p1500;b)", {{"a", milliseconds(1500)}, {"b", {}}}},
      {"pause first", R"(\p20;x)", {{"", milliseconds(20)}, {"x", {}}}},
      {"pause last", R"(x\p7;)", {{"x", milliseconds(7)}}},
      {"zero pause", R"(\p0;)", {{"", milliseconds(0)}}},
      {"pauses in a row", R"(\p1;\p2;)", {{"", milliseconds(1)}, {"", milliseconds(2)}}},
      {"escaped backslash before p", R"(\\p1;)", {{"\\p1;", {}}}},
  };
  for (const GoodCase& c : cases) {
    std::string error;
    const std::optional<Report> got = parseReportText(c.text, &error);
    ASSERT_TRUE(got.has_value()) << c.name << ": " << error;
    EXPECT_EQ(*got, c.expected) << c.name;
  }
}

struct BadCase {
  std::string text;
  const char* where;  // position named in the message
  const char* what;   // and the complaint
};

TEST(ReportText, RejectsBadEscapesNamingWhere) {
  const BadCase cases[] = {
      {R"(\q)", "line 1, column 1", "unknown escape \\q"},
      {"ok\n  \\^Y", "line 2, column 3", "unknown escape \\^"},
      {"\\\x01", "line 1, column 1", "unknown escape \\<01>"},
      {"abc\\", "line 1, column 4", "end of the text"},
      {R"(\x)", "column 1", "two hex digits"},
      {R"(\x4)", "column 1", "two hex digits"},
      {R"(ab\x4g)", "column 3", "two hex digits"},
      {R"(\p;)", "column 1", "\\p needs milliseconds"},
      {R"(\p12)", "column 1", "\\p needs milliseconds"},
      {R"(\p12x;)", "column 1", "\\p needs milliseconds"},
      {R"(\p-5;)", "column 1", "\\p needs milliseconds"},
      {R"(\p99999999999999999999;)", "column 1", "longer than a day"},
  };
  for (const BadCase& c : cases) {
    std::string error;
    EXPECT_FALSE(parseReportText(c.text, &error).has_value()) << c.text;
    EXPECT_NE(error.find(c.where), std::string::npos) << c.text << " -> " << error;
    EXPECT_NE(error.find(c.what), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(ReportText, LiteralKeepsBackslashes) {
  EXPECT_EQ(literalReport(R"(\n\p5;)"), (Report{{R"(\n\p5;)", {}}}));
  EXPECT_TRUE(literalReport("").empty());
}

// What sercap -mh keeps of the bytes it reads: it only reads up to a line
// feed, keeps printable bytes and line feeds between '^' markers, and stops
// after the end phrase with an extra line feed. Ctrl-Z ends the capture.
std::string captureWithMarkers(const std::string& bytes, bool* ended) {
  const std::string phrase = "kwo end";
  const std::string readable = bytes.substr(0, bytes.rfind('\n') + 1);
  std::string kept;
  bool inSegment = false;
  size_t match = 0;
  *ended = false;
  for (const char c : readable) {
    if (c == '\x1a') {
      *ended = true;
      break;
    }
    if (c == '\x19') continue;
    if (c == '^') {
      inSegment = !inSegment;
      continue;
    }
    if (!inSegment || !(c == '\n' || (c >= 0x20 && c < 0x7f))) continue;
    kept += c;
    match = c == phrase[match] ? match + 1 : 0;
    if (match == phrase.size()) {
      kept += '\n';
      *ended = true;
      break;
    }
  }
  return kept;
}

TEST(ReportText, SampleCapturesCleanlyWithMarkers) {
  const Report sample = sampleReport();
  ASSERT_EQ(sample.size(), 1u);
  const std::string& bytes = sample[0].bytes;
  bool ended = false;
  EXPECT_EQ(captureWithMarkers(bytes, &ended),
            "RESULT temperature 21.5 C: ok\n"
            "RESULT supply 3.30 V: ok\n"
            "RESULT memory test: ok\n"
            "kwo end\n");
  EXPECT_TRUE(ended);
  // The flush request must be followed by a line feed, or sercap would not
  // wake to see it before the end.
  const size_t flush = bytes.find('\x19');
  ASSERT_NE(flush, std::string::npos);
  EXPECT_EQ(bytes[flush + 1], '\n');
  EXPECT_EQ(reportSize(sample), bytes.size());
}

}  // namespace
