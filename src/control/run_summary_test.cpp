#include "control/run_summary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "testing/console_capture.h"
#include "testing/temp_dir.h"

namespace {

using namespace std::chrono;

TEST(RunSummary, StringsAreValidJsonWhateverBytesComeIn) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"COM3", "\"COM3\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("\0\x1f\x7f\n\r\t", 6), "\"\\u0000\\u001f\\u007f\\n\\r\\t\""},
      // Well-formed UTF-8 of each length passes as it is.
      {"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      // Anything else becomes U+FFFD, one per byte not taken.
      {"\xFF", "\"\xEF\xBF\xBD\""},
      {"a\x80z", "\"a\xEF\xBF\xBDz\""},
      {"\xC0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                  // overlong NUL
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"\xF4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"\xE2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},  // cut short at the end
  };
  for (const Case& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << c.in;
}

TEST(RunSummary, EveryKeyInOrder) {
  RunSummary s;
  s.version = "2.1";
  s.port = "/dev/ttyUSB0";
  s.captureFile = "out dir/report.spt";
  s.started = sys_days{2026y / 12 / 10} + 14h + 5min + 42s + 123ms;
  s.ended = s.started + 3s;
  s.run.end = RunEnd::kEndPhrase;
  s.exitStatus = 3;
  s.run.bytesRead = 70;
  s.run.fileBytes = 64;
  s.run.lines = 4;
  s.run.firstByte = s.started + 1s;
  s.run.lastByte = s.started + 2s;
  s.failMatches = {{2, "FAIL \"x\""}, {4, "FAIL"}};
  s.lineErrors = LineErrors{1, 0, 2, 0, 1};
  s.run.signal = nullptr;
  EXPECT_EQ(summaryJson(s),
            "{\n"
            "  \"version\": \"2.1\",\n"
            "  \"port\": \"/dev/ttyUSB0\",\n"
            "  \"capture_file\": \"out dir/report.spt\",\n"
            "  \"started\": \"2026-12-10T14:05:42.123Z\",\n"
            "  \"ended\": \"2026-12-10T14:05:45.123Z\",\n"
            "  \"end\": \"end-phrase\",\n"
            "  \"exit_status\": 3,\n"
            "  \"bytes_read\": 70,\n"
            "  \"file_bytes\": 64,\n"
            "  \"lines\": 4,\n"
            "  \"first_byte\": \"2026-12-10T14:05:43.123Z\",\n"
            "  \"last_byte\": \"2026-12-10T14:05:44.123Z\",\n"
            "  \"fail_matches\": [\n"
            "    {\"line\": 2, \"text\": \"FAIL \\\"x\\\"\"},\n"
            "    {\"line\": 4, \"text\": \"FAIL\"}\n"
            "  ],\n"
            "  \"line_errors\": {\"overrun\": 1, \"buffer_overrun\": 0, \"framing\": 2, "
            "\"parity\": 0, \"break\": 1},\n"
            "  \"signal\": null,\n"
            "  \"reconnects\": 0\n"
            "}\n");
}

TEST(RunSummary, NothingReadGivesNulls) {
  RunSummary s;
  s.run.end = RunEnd::kInterrupted;
  s.run.signal = "SIGTERM";
  const std::string json = summaryJson(s);
  EXPECT_NE(json.find("\"first_byte\": null,\n  \"last_byte\": null,"), std::string::npos);
  EXPECT_NE(json.find("\"fail_matches\": [],\n  \"line_errors\": null,"), std::string::npos);
  EXPECT_NE(json.find("\"signal\": \"SIGTERM\""), std::string::npos);
  EXPECT_NE(json.find("\"end\": \"interrupted\""), std::string::npos);
}

// The dialogue's keys stand beside "end", and only when their options were
// given: without them the summary is as it always was.
TEST(RunSummary, DialogueKeysOnlyWithTheirOptions) {
  RunSummary s;
  s.run.end = RunEnd::kEndText;
  EXPECT_EQ(summaryJson(s).find("end_text"), std::string::npos);
  EXPECT_EQ(summaryJson(s).find("expect"), std::string::npos);
  s.endTextsGiven = true;
  EXPECT_NE(summaryJson(s).find("\"end\": \"end-text\",\n  \"end_text\": null,\n  \"exit_status\""),
            std::string::npos);
  s.endText = "login:\r\n";
  s.expect = RunSummary::ExpectProgress{3, 2};
  EXPECT_NE(summaryJson(s).find("\"end_text\": \"login:\\r\\n\",\n"
                                "  \"expect\": {\"steps\": 3, \"matched\": 2},\n"
                                "  \"exit_status\""),
            std::string::npos)
      << summaryJson(s);
}

TEST(RunSummary, EndNames) {
  const std::pair<RunEnd, const char*> names[] = {
      {RunEnd::kCtrlZ, "ctrl-z"},
      {RunEnd::kEndPhrase, "end-phrase"},
      {RunEnd::kEndText, "end-text"},
      {RunEnd::kTimeOut, "time-out"},
      {RunEnd::kDeadline, "deadline"},
      {RunEnd::kInterrupted, "interrupted"},
      {RunEnd::kLineFailure, "line-failure"},
      {RunEnd::kOpenFailure, "open-failure"},
      {RunEnd::kFileFailure, "file-failure"},
  };
  for (const auto& [end, name] : names) EXPECT_STREQ(runEndName(end), name);
}

std::vector<std::string> filesIn(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(RunSummary, ReplacesTheFileWholeAndLeavesNothingElse) {
  TempDir dir;
  const std::string path = dir.file("summary.json");
  std::ofstream(path) << std::string(10000, 'x');
  RunSummary s;
  s.port = "COM1";
  ConsoleCapture console;
  EXPECT_EQ(writeSummary(path.c_str(), s, console.stream()), 0);
  EXPECT_EQ(readWholeFile(path), summaryJson(s));
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"summary.json"});
  EXPECT_EQ(console.text(), "");
}

TEST(RunSummary, UnwritableSummarySaysSoAndLeavesNothing) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("taken"));
  const std::string missingFolder = dir.file("no/such/folder/s.json");
  const std::string aFolder = dir.file("taken");
  for (const std::string& path : {missingFolder, aFolder}) {
    ConsoleCapture console;
    const int error = writeSummary(path.c_str(), RunSummary{}, console.stream());
    EXPECT_NE(error, 0) << path;
    EXPECT_EQ(console.text(),
              "\n>>>unable to write summary " + path + " : " + std::to_string(error) + "\n");
  }
  EXPECT_EQ(filesIn(dir), std::vector<std::string>{"taken"});
  EXPECT_TRUE(std::filesystem::is_empty(aFolder));
}

}  // namespace
