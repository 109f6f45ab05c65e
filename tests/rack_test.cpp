// The long options a test rack uses, run as a user runs them: the summary,
// fail texts, the expected end, the deadline, timestamps, the raw copy.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>

#include "sercap_test.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using RackStopTest = SercapTest;

// --help and --version end at once with 0; a wrong long option is the usage
// text. None of them opens or creates anything.
TEST_F(RackStopTest, HelpVersionAndWrongLongOptions) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string firstLine;
  } cases[] = {
      {{"--help"}, 0, "usage: " + sercapProgram() + " [port] [options]"},
      {{"COM3", "-d", "--version"}, 0, sercapProgram() + " version 2.1"},
      {{"--bogus"}, usageStatus(), "usage:" + sercapProgram() + " [COMx] [-d] [-t time-out] "},
      {{"--summary"}, usageStatus(), "usage:" + sercapProgram() + " [COMx] [-d] [-t time-out] "},
      {{"--timestamps", "elapsed"},
       usageStatus(),
       "usage:" + sercapProgram() + " [COMx] [-d] [-t time-out] "},
  };
  for (const Case& c : cases) {
    auto run = start(c.args);
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, c.status) << c.args[0];
    EXPECT_EQ(result.out.substr(0, c.firstLine.size()), c.firstLine) << result.out;
    EXPECT_TRUE(std::filesystem::is_empty(work().path())) << c.args[0];
  }
}

// The summary's value for `key` as its JSON text ("\"ctrl-z\"", "0", "null",
// "[...]"), or "" when the key is missing.
std::string summaryValue(const std::string& json, const std::string& key) {
  const std::regex pattern("\n  \"" + key + "\": ((\\[[^\\]]*\\])|[^\n]*?),?\n");
  std::smatch m;
  return std::regex_search(json, m, pattern) ? m[1].str() : "";
}

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

// Whether a JSON parser takes the file as one object (python3's, when there
// is one): the summary must be JSON, not merely look like it.
bool parsesAsJson(const std::string& path) {
  const std::string command =
      "python3 -c 'import json,sys; assert isinstance(json.load(open(sys.argv[1], "
      "encoding=\"utf-8\")), dict)' '" +
      path + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return true;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
  }
  const int status = ::pclose(pipe);
  return status == 0 || WEXITSTATUS(status) == 127;  // no python3: not checked here
}

class SummaryTest : public SercapTest {
 protected:
  std::string summary() { return workFile("s.json"); }
};

// The summary's "end" for every way a run ends, with the status the process
// really ended with.
TEST_F(SummaryTest, EndAndStatusForEveryWayARunEnds) {
  struct Case {
    const char* name;
    const char* end;
    std::vector<std::string> options;
    std::function<void(PtyDevice&, ProgramRun&)> play;  // what happens once capturing
  } cases[] = {
      {"ctrl-z",
       "ctrl-z",
       {"-t", "30"},
       [](PtyDevice& d, ProgramRun&) { ASSERT_TRUE(d.send("report\n\x1a\n")); }},
      {"end phrase",
       "end-phrase",
       {"-t", "30"},
       [](PtyDevice& d, ProgramRun&) { ASSERT_TRUE(d.send("done: kwo end\n")); }},
      {"time-out", "time-out", {"-t", "1"}, [](PtyDevice&, ProgramRun&) {}},
      {"deadline", "deadline", {"-t", "-1", "--max-time", "3"}, [](PtyDevice&, ProgramRun&) {}},
      // A negative deadline is none, as a negative time-out is.
      {"no deadline", "time-out", {"-t", "2", "--max-time", "-1"}, [](PtyDevice&, ProgramRun&) {}},
      {"signal",
       "interrupted",
       {"-t", "30"},
       [](PtyDevice&, ProgramRun& run) { run.signal(SIGINT); }},
      {"hang-up",
       "line-failure",
       {"-t", "30"},
       [](PtyDevice& d, ProgramRun&) {
         ASSERT_TRUE(d.send("last words\n"));
         ASSERT_TRUE(d.waitUntilTaken());
         d.hangUp();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(work().file("s.json"));
    PtyDevice device;
    std::vector<std::string> args = {"-ntx", "1", "-f", "out.spt", "--summary", "s.json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto run = startOnLine(device, args);
    ASSERT_NE(run, nullptr);
    c.play(device, *run);
    ProgramResult result = finish(*run);
    const std::string json = summary();
    EXPECT_EQ(summaryValue(json, "end"), quoted(c.end)) << json;
    EXPECT_EQ(summaryValue(json, "exit_status"), std::to_string(result.status)) << json;
    EXPECT_EQ(summaryValue(json, "port"), quoted(port(device)));
    EXPECT_TRUE(parsesAsJson(work().file("s.json"))) << json;
    if (std::string(c.end) == "interrupted") {
      EXPECT_EQ(result.status, interruptedStatus());
      EXPECT_EQ(summaryValue(json, "signal"), quoted(underWine() ? "CTRL_C_EVENT" : "SIGINT"));
    } else {
      EXPECT_EQ(summaryValue(json, "signal"), "null");
    }
    if (std::string(c.end) == "deadline") {
      // Never early, up to a second late (and time for a slow start).
      EXPECT_GE(result.seconds, 3.0);
      EXPECT_LT(result.seconds, underWine() ? 8.0 : 5.5);
    }
  }
}

TEST_F(SummaryTest, RunsThatNeverCapture) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* end;
    int status;
  } cases[] = {
      {"port missing", {"COM250", "-f", "out.spt"}, "open-failure", 1},
      {"capture file unwritable",
       {"COM250", "-f", "no/such/folder/out.spt"},
       "file-failure",
       fileErrorStatus()},
      {"raw file unwritable",
       {"COM250", "-f", "out.spt", "--raw", "no/such/raw.bin"},
       "file-failure",
       fileErrorStatus()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--summary", "s.json"});
    auto run = start(args);
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, c.status);
    const std::string json = summary();
    EXPECT_EQ(summaryValue(json, "end"), quoted(c.end)) << json;
    EXPECT_EQ(summaryValue(json, "exit_status"), std::to_string(c.status)) << json;
    EXPECT_EQ(summaryValue(json, "bytes_read"), "0");
    EXPECT_EQ(summaryValue(json, "first_byte"), "null");
    EXPECT_EQ(summaryValue(json, "line_errors"), "null");
  }
}

// Real-time signals end the run as the others do, each named as the
// shell's `kill -l` names it.
TEST_F(SummaryTest, RealTimeSignalsByName) {
  SKIP_UNDER_WINE("Windows has no POSIX signals");
  const struct {
    int signalNumber;
    const char* name;
  } cases[] = {{SIGRTMIN, "SIGRTMIN"}, {SIGRTMIN + 5, "SIGRTMIN+5"}, {SIGRTMAX, "SIGRTMAX"}};
  for (const auto& c : cases) {
    PtyDevice device;
    auto run =
        startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--summary", "s.json"});
    ASSERT_NE(run, nullptr);
    run->signal(c.signalNumber);
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 128 + c.signalNumber) << c.name;
    const std::string json = summary();
    EXPECT_EQ(summaryValue(json, "signal"), quoted(c.name)) << json;
    EXPECT_EQ(summaryValue(json, "end"), quoted("interrupted")) << json;
  }
}

// A summary that cannot be written says so and changes nothing else.
TEST_F(SummaryTest, UnwritableSummaryFolder) {
  PtyDevice device;
  auto run =
      startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--summary", "nodir/s.json"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("kept\n\x1a\n"));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("\n>>>unable to write summary nodir/s.json : "), std::string::npos)
      << result.out;
  EXPECT_EQ(workFile("out.spt"), "kept\r\n");
}

// Files that must not be written as asked: a summary or raw copy that names
// the capture file would destroy or garble it; a raw copy on a full disk is
// a write error (255), and capture goes on.
TEST_F(SummaryTest, FilesThatCannotTakeWhatTheyAreGiven) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    int status;
    std::string message;
  } cases[] = {
      {"summary is the capture file",
       {"--summary", "./out.spt"},
       0,
       "\n>>>unable to write summary ./out.spt : it is a capture file\n"},
      {"raw copy is the capture file",
       {"--raw", "out.spt"},
       fileErrorStatus(),
       "\n>>>unable to open file out.spt\n"},
      {"raw copy on a full disk",
       {"--raw", "/dev/full"},
       fileErrorStatus(),
       "\n>>>write error on file /dev/full : 28\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "raw copy on a full disk" && underWine()) {
      std::printf("not shown under Wine: %s (Windows has no /dev/full)\n", c.name);
      continue;
    }
    std::filesystem::remove(work().file("out.spt"));
    PtyDevice device;
    std::vector<std::string> args = {port(device), "-ntx", "1", "-t", "30", "-f", "out.spt"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    auto run = start(args);
    // A raw copy that cannot be opened stops the run before the port opens.
    const bool opens = c.message.find("unable to open") == std::string::npos;
    if (opens) {
      ASSERT_TRUE(awaitTransmission(device, *run));
      ASSERT_TRUE(device.send("kept\n\x1a\n"));
    }
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, c.status);
    EXPECT_NE(result.out.find(c.message), std::string::npos) << result.out;
    EXPECT_EQ(workFile("out.spt"), opens ? "kept\r\n" : "");
  }
}

// A summary whose name is as long as a name may be: its temporary file's
// name must fit too.
TEST_F(SummaryTest, LongestName) {
  const std::string name = std::string(245, 's') + ".json";
  PtyDevice device;
  ProgramResult result =
      finish(*start({port(device), "-t", "0", "-f", "out.spt", "--summary", name}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(summaryValue(workFile(name), "end"), quoted("time-out"));
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(work().path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2u) << "a temporary file stayed behind";
}

// Summary paths that are no regular file are written in place, never
// renamed over (a device node replaced by a file would break the machine):
// standard output ("-" or its name) after the run's last console line, a
// terminal, a FIFO. A symbolic link stays a link; the file it leads to is
// replaced.
TEST_F(SummaryTest, PathsThatAreNoRegularFiles) {
  auto json = [](const std::string& text) {
    return summaryValue(text, "end") == quoted("time-out");
  };
  auto isFifo = [](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
  };
  PtyDevice terminal;
  const std::string fifo = work().file("fifo");
  const std::string unread = work().file("unread");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(unread.c_str(), 0600), 0);
  const int fifoReader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifoReader, 0);
  std::filesystem::create_directory(work().file("sub"));
  std::filesystem::create_symlink("sub/target.json", work().file("link"));
  std::filesystem::create_symlink(work().file("sub/later.json"), work().file("dangling"));
  {
    std::FILE* old = std::fopen(work().file("sub/target.json").c_str(), "w");
    ASSERT_NE(old, nullptr);
    std::fputs("old\n", old);
    std::fclose(old);
  }
  struct Case {
    const char* name;
    std::string summary;
    std::function<void(const ProgramResult&)> check;
    bool onWindows = false;  // else a POSIX path
  } cases[] = {
      {"dash", "-",
       [&](const ProgramResult& r) {
         ASSERT_EQ(r.out.substr(0, 2), "\n{") << r.out;
         EXPECT_TRUE(json(r.out.substr(1))) << r.out;
       },
       true},
      // /dev/stdout leads there; replaced by a file, as sercap once did, it
      // would break the machine: the test must not risk it.
      {"standard output by name", "/proc/self/fd/1",
       [&](const ProgramResult& r) {
         ASSERT_EQ(r.out.substr(0, 2), "\n{") << r.out;
         EXPECT_TRUE(json(r.out.substr(1))) << r.out;
       }},
      {"terminal", terminal.slavePath(),
       [&](const ProgramResult& r) {
         EXPECT_EQ(r.out, "\n");
         EXPECT_TRUE(json(terminal.receiveUntilQuiet(milliseconds(500))));
         EXPECT_TRUE(std::filesystem::is_character_file(terminal.slavePath()));
       }},
      {"FIFO", fifo,
       [&](const ProgramResult& r) {
         EXPECT_EQ(r.out, "\n");
         char buffer[65536];
         const ssize_t n = ::read(fifoReader, buffer, sizeof buffer);
         EXPECT_TRUE(json(std::string(buffer, n > 0 ? n : 0)));
         EXPECT_TRUE(isFifo(fifo));
       }},
      {"FIFO nobody reads", unread,
       [&](const ProgramResult& r) {
         EXPECT_EQ(r.out, "\n\n>>>unable to write summary " + unread + " : " +
                              std::to_string(ENXIO) + "\n");
         EXPECT_TRUE(isFifo(unread));
       }},
      {"link", "link",
       [&](const ProgramResult& r) {
         EXPECT_EQ(r.out, "\n");
         EXPECT_TRUE(std::filesystem::is_symlink(work().file("link")));
         EXPECT_TRUE(json(workFile("sub/target.json")));
       }},
      {"link to a file not there yet", "dangling",
       [&](const ProgramResult& r) {
         EXPECT_EQ(r.out, "\n");
         EXPECT_TRUE(std::filesystem::is_symlink(work().file("dangling")));
         EXPECT_TRUE(json(workFile("sub/later.json")));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (underWine() && !c.onWindows) continue;
    PtyDevice device;
    ProgramResult result =
        finish(*start({port(device), "-t", "0", "-f", "out.spt", "--summary", c.summary}));
    EXPECT_EQ(result.status, 0);
    c.check(result);
  }
  ::close(fifoReader);
}

// What the counters say: bytes read, what went into the file (CR LF and
// timestamps included) and its line feeds, the first and last read.
TEST_F(SummaryTest, CountsWhatWasReadAndWritten) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--summary", "s.json",
                                  "--timestamps=elapsed"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("one\r\ntwo\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("three\n\x1a\n"));
  ProgramResult result = finish(*run);
  ASSERT_EQ(result.status, 0);
  const std::string json = summary();
  const std::string file = workFile("out.spt");
  EXPECT_EQ(summaryValue(json, "bytes_read"), "17") << json;
  EXPECT_EQ(summaryValue(json, "file_bytes"), std::to_string(file.size())) << json;
  EXPECT_EQ(summaryValue(json, "lines"), "3") << json;
  if (underWine()) {
    // Windows counts ClearCommError's flags on every port; Wine reports none.
    EXPECT_EQ(summaryValue(json, "line_errors"),
              R"({"overrun": 0, "buffer_overrun": 0, "framing": 0, "parity": 0, "break": 0})");
  } else {
    EXPECT_EQ(summaryValue(json, "line_errors"), "null") << "a pseudo-terminal keeps no counts";
  }
  const std::string first = summaryValue(json, "first_byte");
  const std::string last = summaryValue(json, "last_byte");
  const std::regex utc(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")");
  EXPECT_TRUE(std::regex_match(first, utc)) << first;
  EXPECT_TRUE(std::regex_match(last, utc)) << last;
  EXPECT_LE(first, last);
  EXPECT_LE(summaryValue(json, "started"), first);
  EXPECT_LE(last, summaryValue(json, "ended"));
}

struct StatusCase {
  const char* name;
  std::vector<std::string> options;
  std::string sent;  // "" sends nothing: the run ends by its time-out
  bool hangUp;
  int status;
  // Short only where the time-out ends the run: elsewhere a slow start must
  // not let it end before the device has played its part.
  const char* timeOut = sent.empty() ? "2" : "30";
};

void PrintTo(const StatusCase& c, std::ostream* os) {
  *os << c.name;
}

class RackStatusTest : public SercapTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(RackStatusTest, FailTextsAndExpectedEnd) {
  const StatusCase& c = GetParam();
  PtyDevice device;
  std::vector<std::string> args = {"-ntx", "1", "-t", c.timeOut, "-f", "out.spt"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  auto run = startOnLine(device, args);
  ASSERT_NE(run, nullptr);
  if (!c.sent.empty()) {
    ASSERT_TRUE(device.send(c.sent));
  }
  if (c.hangUp) {
    ASSERT_TRUE(device.waitUntilTaken());
    device.hangUp();
  }
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, c.status) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, RackStatusTest,
    ::testing::Values(
        StatusCase{
            "FailTextThenCtrlZ", {"--fail-on", "FAIL"}, "ok\ntest 3 FAIL\nmore\n\x1a\n", false, 3},
        StatusCase{"NoFailText", {"--fail-on", "FAIL"}, "ok\nall good\n\x1a\n", false, 0},
        StatusCase{"SecondOfTwoTexts",
                   {"--fail-on", "FAIL", "--fail-on=panic"},
                   "kernel panic\n\x1a\n",
                   false,
                   3},
        StatusCase{"ExpectEndTimeOut", {"--expect-end"}, "", false, 5},
        StatusCase{
            "ExpectEndDeadline", {"--expect-end", "-t", "-1", "--max-time", "2"}, "", false, 5},
        StatusCase{"ExpectEndCtrlZ", {"--expect-end"}, "done\n\x1a\n", false, 0},
        StatusCase{"ExpectEndPhrase", {"--expect-end"}, "kwo end\n", false, 0},
        StatusCase{"FailWinsOverExpectEnd",
                   {"--expect-end", "--fail-on", "FAIL"},
                   "FAIL\n",
                   false,
                   3,
                   "2"},
        StatusCase{"LineFailureKeepsItsStatus",
                   {"--fail-on", "FAIL", "--expect-end"},
                   "FAIL\n",
                   true,
                   32}),
    [](const auto& info) { return std::string(info.param.name); });

// A fail text that a read cuts in two, and one in an unfinished last line,
// with the console line each match prints.
TEST_F(SummaryTest, FailTextsAsWritten) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--summary", "s.json",
                                  "--fail-on", "FAIL", "--fail-on", "panic", "--timestamps"});
  ASSERT_NE(run, nullptr);
  // "FA" is read with the line before it, "IL" only with the next line feed.
  ASSERT_TRUE(device.send("first\nFA"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("IL 3\nok\nkernel panic\x1a\n"));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 3);
  EXPECT_NE(result.out.find("\n>>>fail text in line 2 : FAIL\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\n>>>fail text in line 4 : panic\n"), std::string::npos);
  const std::string json = summary();
  EXPECT_NE(json.find("  \"fail_matches\": [\n"
                      "    {\"line\": 2, \"text\": \"FAIL 3\"},\n"
                      "    {\"line\": 4, \"text\": \"kernel panic\"}\n"
                      "  ],\n"),
            std::string::npos)
      << json;
}

// Under -filteroff the device's own carriage return is kept in the file, but
// for a fail match it belongs to the line end, as without -filteroff: a job
// reads the same text whichever filter the run used.
TEST_F(SummaryTest, FailTextUnderFilterOffLeavesOutTheDevicesCarriageReturn) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--summary", "s.json",
                                  "-filteroff", "--fail-on", "abc"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("abc\r\nok\n\x1a\n"));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 3);
  const std::string json = summary();
  EXPECT_NE(json.find("    {\"line\": 1, \"text\": \"abc\"}\n"), std::string::npos) << json;
  EXPECT_EQ(workFile("out.spt"), "abc\r\r\nok\r\n");
}

// Timestamps stamp the text that -mh keeps, from the first byte of each
// line; they are not counted by the filter's counters (-d) and are never
// taken for the end phrase or a fail text.
TEST_F(SummaryTest, TimestampsWithSplitMarkers) {
  for (const char* mode : {"iso", "elapsed"}) {
    SCOPED_TRACE(mode);
    std::filesystem::remove(work().file("out.spt"));
    PtyDevice device;
    auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "-mh", "-d",
                                    "--timestamps=" + std::string(mode), "--fail-on", " first"});
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(device.send("noise^first\nsecond\n^dropped\n"));
    ASSERT_TRUE(device.waitUntilTaken());
    ASSERT_TRUE(device.send("^third\n^\x1a\n"));
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 0) << "a stamp was taken for a fail text";
    const std::string stamp = std::string(mode) == "iso"
                                  ? R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )"
                                  : R"(\d{1,2}\.\d{3} )";
    const std::regex expected(stamp + "first\r\n" + stamp + "second\r\n" + stamp + "third\r\n");
    const std::string file = workFile("out.spt");
    EXPECT_TRUE(std::regex_match(file, expected)) << file;
    // "first\nsecond\n" and "third\n": 19 bytes, without the stamps.
    EXPECT_NE(result.out.find("TotalByteInFile 19 "), std::string::npos) << result.out;
  }
}

// The raw copy: every byte read, as it came, also those the filter drops
// and the Ctrl-Z with what follows it in the same read.
TEST_F(SummaryTest, RawCopyIsByteExact) {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) {
      if (b != 0x1A && b != 0x19) bytes += static_cast<char>(b);
    }
    bytes += '\n';
  }
  bytes += std::string("\0\xff\x19\n", 4);
  const std::string last = "end\x1a\n";
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt", "--raw", "raw.bin",
                                  "--summary", "s.json"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(bytes));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send(last));
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  const std::string raw = workFile("raw.bin");
  EXPECT_EQ(raw.size(), bytes.size() + last.size());
  EXPECT_TRUE(raw == bytes + last) << "the raw copy differs from what the device sent";
  EXPECT_EQ(summaryValue(summary(), "bytes_read"), std::to_string(raw.size()));
}

}  // namespace
