// What reaches the capture file and the console from what the device sends.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using CaptureContentTest = SercapTest;

struct FilterCase {
  const char* name;
  std::vector<std::string> args;
  std::string sent;  // ends with Ctrl-Z and a line feed
  std::string file;
  std::string out;
};

void PrintTo(const FilterCase& c, std::ostream* os) {
  *os << c.name;
}

class FilterTest : public SercapTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(FilterTest, KeepsWhatTheOptionsSay) {
  const FilterCase& c = GetParam();
  PtyDevice device;
  std::vector<std::string> args = {"-ntx", "1", "-t", "30", "-f", "out.spt"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  auto run = startOnLine(device, args);
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(c.sent));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), c.file);
  EXPECT_EQ(result.out, c.out);
}

const std::string kMarkedReport = "noise^kept^more\n^line one\nline two^tail\n\x1a\n";

INSTANTIATE_TEST_SUITE_P(
    Options, FilterTest,
    ::testing::Values(
        // Carriage return, tab and a byte above 0x7F are each shown as "!".
        FilterCase{"Default",
                   {},
                   "AB\r\nC\t\xe9"
                   "D\n\x1a\n",
                   "AB\r\nCD\r\n",
                   "!!!\n"},
        FilterCase{"FilterOff",
                   {"-filteroff"},
                   "AB\r\nC\t\xe9"
                   "D\x01\n\x1a\n",
                   "AB\r\r\nC\t\xe9"
                   "D\x01\r\n",
                   "\n"},
        // Only segment contents are kept; the line feed inside a segment too.
        FilterCase{"HiddenMarkers", {"-mh"}, kMarkedReport, "keptline one\r\nline two", "\n"},
        FilterCase{"ShownMarkers",
                   {"-md"},
                   kMarkedReport,
                   "keptline one\r\nline two",
                   "noisemore\ntail\n\n"},
        FilterCase{"RejectedInsideASegment",
                   {"-mh"},
                   "^a\x01"
                   "b^\n\x1a\n",
                   "ab",
                   "!\n"},
        // Ctrl-Z ends the run inside an open segment; its content is kept.
        FilterCase{"OwnMarkers",
                   {"-md", "-ms", "<", "-me", ">"},
                   "x<in>y^\n<open\x1a\n",
                   "inopen",
                   "xy^\n\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureContentTest, CtrlYFlushesWhileTheRunGoesOn) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("a\nb\n\x19\n"));
  // The file is live: the line feed after Ctrl-Y may already be in it too.
  EXPECT_EQ(awaitWorkFile("out.spt").substr(0, 6), "a\r\nb\r\n");
  EXPECT_TRUE(run->running());

  ASSERT_TRUE(device.send("c\n\x1a\n"));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(workFile("out.spt"), "a\r\nb\r\n\r\nc\r\n");
}

TEST_F(CaptureContentTest, WhatCameBeforeTheRunIsDiscarded) {
  PtyDevice device;
  ASSERT_TRUE(device.send("stale line\n\x1a\n"));
  std::this_thread::sleep_for(milliseconds(200));
  ASSERT_GT(device.unreadBytes(), 0);
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("fresh line\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "fresh line\r\n");
}

TEST_F(CaptureContentTest, RunsAppendToTheCaptureFile) {
  {
    std::ofstream earlier(work().file("out.spt"), std::ios::binary);
    earlier << "earlier\r\n";
  }
  for (const char* line : {"first run\n", "second run\n"}) {
    PtyDevice device;
    auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(device.send(std::string(line) + "\x1a\n"));
    EXPECT_EQ(finish(*run).status, 0);
  }
  EXPECT_EQ(workFile("out.spt"), "earlier\r\nfirst run\r\nsecond run\r\n");
}

struct DebugCase {
  const char* name;
  std::string sent;
  std::string file;
  // What follows the options and port lines: all of it, or its end.
  std::string report;
  bool reportIsTheEnd;
};

void PrintTo(const DebugCase& c, std::ostream* os) {
  *os << c.name;
}

class DebugOutputTest : public SercapTest, public ::testing::WithParamInterface<DebugCase> {};

TEST_P(DebugOutputTest, TracesTheRun) {
  const DebugCase& c = GetParam();
  PtyDevice device;
  auto run = startOnLine(device, {"-d", "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(c.sent));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), c.file);
  const std::string header = ">>>options: -t 30 -f out.spt \n>>>" + shownPort(device) +
                             ", rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n";
  if (!c.reportIsTheEnd) {
    EXPECT_EQ(result.out, header + c.report);
  } else {
    EXPECT_EQ(result.out.rfind(header, 0), 0u) << result.out;
    ASSERT_GE(result.out.size(), c.report.size()) << result.out;
    EXPECT_EQ(result.out.substr(result.out.size() - c.report.size()), c.report) << result.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Ends, DebugOutputTest,
                         ::testing::Values(
                             // Every byte of every read is counted as read, also the line feed
                             // after Ctrl-Z; only A, B and the line feed are in the file.
                             DebugCase{"CtrlZ", "AB\n\x1a\n", "AB\r\n",
                                       "AB.<1a>\n>>> close\n"
                                       "\n>>>TotalByteRead 5 TotalByteInFile 3 exitCode 0\n"
                                       "\n",
                                       false},
                             DebugCase{"EndPhrase", "x\tkwo end\n", "xkwo end\r\n",
                                       "x<09>kwo end\n>>> kwo end\n"
                                       "\n>>>TotalByteRead 10 TotalByteInFile 9 exitCode 0\n"
                                       "\n",
                                       true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A read takes what is queued when the worker wakes, so "hello\n" Ctrl-Z
// "\n" sent at once is read in one pass, in two (at each line feed), or in
// one that ends on Ctrl-Z before its line feed has come.
const std::vector<std::vector<std::string>> kPassSplits = {
    {"hello\n\x1a\n"}, {"hello\n", "\x1a\n"}, {"hello\n\x1a"}};

std::string echoed(const std::string& bytes) {
  std::string shown;
  for (char c : bytes) shown += c == '\n' ? "." : c == '\x1a' ? "<1a>" : std::string(1, c);
  return shown;
}

TEST_F(CaptureContentTest, HigherDebugLevelTracesEveryPass) {
  PtyDevice device;
  auto run = startOnLine(device, {"-d2", "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("hello\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "hello\r\n");
  std::vector<std::string> candidates;
  for (const auto& passes : kPassSplits) {
    std::string out = ">>>options: -t 30 -f out.spt \n>>>" + shownPort(device) +
                      ", rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n";
    size_t total = 0;
    for (const std::string& pass : passes) {
      const std::string count = std::to_string(pass.size());
      out += "\n>>>" + count + " char in the Que,>>\n>>>" + count + " char read\n";
      // Echoed up to Ctrl-Z, which ends the run.
      const size_t end = pass.find('\x1a');
      out += echoed(end == std::string::npos ? pass : pass.substr(0, end + 1));
      total += pass.size();
    }
    out += "\n>>> close\n\n>>>TotalByteRead " + std::to_string(total) +
           " TotalByteInFile 6 exitCode 0\n\n";
    candidates.push_back(out);
  }
  EXPECT_NE(std::find(candidates.begin(), candidates.end(), result.out), candidates.end())
      << result.out;
}

TEST_F(CaptureContentTest, ProgressMarksEveryPass) {
  PtyDevice device;
  auto run = startOnLine(device, {"-progress", "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("hello\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  std::vector<std::string> candidates;
  for (const auto& passes : kPassSplits)
    candidates.push_back(std::string(passes.size(), '.') + "\n");
  EXPECT_NE(std::find(candidates.begin(), candidates.end(), result.out), candidates.end())
      << result.out;
}

TEST_F(CaptureContentTest, DebugOutputOfATimedOutRunHasNoWorkerReport) {
  // The worker stopped at the end of the run reports nothing.
  PtyDevice device;
  auto run = start({port(device), "-d", "-t", "2", "-f", "out.spt"});
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, ">>>options: -t 2 -f out.spt \n>>>" + shownPort(device) +
                            ", rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n"
                            "\n");
}

TEST_F(CaptureContentTest, WriteErrorsAreReportedOnceAndEndTheRunWith255) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "/dev/full"});
  ASSERT_NE(run, nullptr);
  // The flush fails first; capturing goes on to Ctrl-Z, and the failing
  // close is not reported again.
  ASSERT_TRUE(device.send("one\n\x19\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("two\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, fileErrorStatus());
  EXPECT_EQ(result.out,
            "\n>>>write error on file /dev/full : " + std::to_string(diskFullError()) + "\n\n");
}

TEST_F(CaptureContentTest, LineLongerThanTheInputQueueIsKeptWhole) {
  // No line feed for far longer than the line's input queue: it must wake
  // the worker when full instead of waiting for a line feed forever.
  const std::string line(100000, 'x');
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(line));
  ASSERT_TRUE(device.waitUntilTaken()) << "sercap stopped reading a line without line feed";
  ASSERT_TRUE(device.send("\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), line + "\r\n");
}

// Numbered lines, so that a lost, doubled or reordered piece shows.
std::string numberedLines(size_t atLeast) {
  std::string text;
  char line[80];
  for (int i = 0; text.size() < atLeast; ++i) {
    std::snprintf(line, sizeof line, "%07d the quick brown fox jumps over the lazy dog %07d\n", i,
                  i);
    text += line;
  }
  return text;
}

TEST_F(CaptureContentTest, BurstAtFullSpeedIsStoredExactly) {
  const std::string report = numberedLines(4 << 20);
  PtyDevice device;
  // Transmissions go on while the worker reads.
  auto run = startOnLine(device, {"-ntx", "-1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  bool sent = false;
  std::thread sender([&] { sent = device.send(report + "\x1a\n", milliseconds(120000)); });
  ProgramResult result = finish(*run, seconds(180));
  sender.join();

  EXPECT_TRUE(sent);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  const std::string expected = crlf(report);
  const std::string stored = workFile("out.spt");
  EXPECT_EQ(stored.size(), expected.size());
  if (stored != expected) {
    size_t at = 0;
    while (at < stored.size() && at < expected.size() && stored[at] == expected[at]) ++at;
    ADD_FAILURE() << "first difference at byte " << at << ": stored \"" << stored.substr(at, 70)
                  << "\", expected \"" << expected.substr(at, 70) << "\"";
  }
}

TEST_F(CaptureContentTest, InterruptionDuringABurstKeepsAnExactPrefix) {
  const std::string report = numberedLines(16 << 20);
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  std::thread sender([&] { device.send(report, milliseconds(60000)); });
  // As soon as some of it has reached the file.
  awaitWorkFile("out.spt");
  run->signal(SIGINT);
  ProgramResult result = finish(*run);
  device.cancelSend();
  sender.join();

  EXPECT_EQ(result.status, interruptedStatus());
  EXPECT_EQ(result.out, "\n");
  const std::string stored = workFile("out.spt");
  const std::string expected = crlf(report);
  EXPECT_FALSE(stored.empty());
  EXPECT_TRUE(expected.compare(0, stored.size(), stored) == 0)
      << "the file is no prefix of what was sent";
}

}  // namespace
