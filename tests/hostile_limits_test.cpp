// Runs at the edges of what the surroundings allow: a capture file that stops
// taking data, a standard output set non-blocking, a line left suspended,
// transmissions that a device takes slowly or not at all, and resource
// limits. The run must always end, promptly, with what it captured kept and
// a status that says how it ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = ProgramRun::Clock;
using Output = ProgramRun::Output;

using HostileLimitsTest = SercapTest;

// Reads `fd` until its writers have all closed it, or `timeout` has passed.
std::string readUntilEnd(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string text;
  char buffer[65536];
  while (Clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Seconds from `since` to the end of the run.
double secondsAfter(const ProgramRun& run, const ProgramResult& result, Clock::time_point since) {
  return result.seconds - duration<double>(since - run.startedAt()).count();
}

// Lines of text, `atLeast` bytes of them.
std::string textLines(size_t atLeast) {
  std::string text;
  for (int i = 0; text.size() < atLeast; ++i) text += "line " + std::to_string(i) + "\n";
  return text;
}

// Waits until the file holds `expected`, up to `timeout`; returns what it holds.
std::string awaitFileContent(const std::string& path, const std::string& expected,
                             milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string content = readWholeFile(path);
  while (content != expected && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(50));
    content = readWholeFile(path);
  }
  return content;
}

// What each read brought is in the file at once, long before a buffer's
// worth has come, and it stays there whatever happens to the process.
TEST_F(HostileLimitsTest, CaptureFileShowsEachLineAsItComes) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "60", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("first line\n"));
  EXPECT_EQ(awaitFileContent(work().file("out.spt"), "first line\r\n", milliseconds(5000)),
            "first line\r\n");
  ASSERT_TRUE(device.send("second line\n"));
  EXPECT_EQ(
      awaitFileContent(work().file("out.spt"), "first line\r\nsecond line\r\n", milliseconds(5000)),
      "first line\r\nsecond line\r\n");
  ASSERT_TRUE(run->running());
  run->signal(SIGKILL);
  run->wait();
  EXPECT_EQ(workFile("out.spt"), "first line\r\nsecond line\r\n");
}

struct StalledFileCase {
  const char* name;
  bool terminal;     // a terminal nobody reads; else a FIFO nobody reads
  int signalNumber;  // 0: the run ends by its time-out
  int status;
};

void PrintTo(const StalledFileCase& c, std::ostream* os) {
  *os << c.name;
}

class StalledCaptureFileTest : public SercapTest,
                               public ::testing::WithParamInterface<StalledFileCase> {};

// The capture file stops taking data: its reader holds it open but reads
// nothing. The time-out and an interruption still end the run within about
// two seconds, with the write error said and the status of how it ended.
TEST_P(StalledCaptureFileTest, RunStillEnds) {
  SKIP_UNDER_WINE("FIFOs and terminals as capture files are POSIX's");
  const StalledFileCase& c = GetParam();
  std::unique_ptr<PtyDevice> terminal;
  std::string sink = "fifo";
  int fifoReader = -1;
  if (c.terminal) {
    terminal = std::make_unique<PtyDevice>();
    sink = terminal->slavePath();
  } else {
    ASSERT_EQ(mkfifo(work().file(sink).c_str(), 0600), 0);
    fifoReader = ::open(work().file(sink).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifoReader, 0);
  }
  const std::string timeout = c.signalNumber == 0 ? "2" : "60";
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", timeout, "-f", sink});
  ASSERT_NE(run, nullptr);
  // Far more than the file takes: sercap stops reading, the device stalls.
  device.send(textLines(1 << 20), milliseconds(3000));
  const auto stalledAt = Clock::now();
  if (c.signalNumber != 0) run->signal(c.signalNumber);
  ProgramResult result = finish(*run, seconds(20));
  if (fifoReader >= 0) ::close(fifoReader);

  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.out, "\n>>>write error on file " + sink + " : 11\n\n");
  EXPECT_LT(secondsAfter(*run, result, stalledAt), c.signalNumber == 0 ? 6.0 : 3.5);
}

INSTANTIATE_TEST_SUITE_P(Ends, StalledCaptureFileTest,
                         ::testing::Values(StalledFileCase{"FifoTimeOut", false, 0, 255},
                                           StalledFileCase{"FifoInt", false, SIGINT, 130},
                                           StalledFileCase{"TerminalTerm", true, SIGTERM, 143}),
                         [](const auto& info) { return std::string(info.param.name); });

struct WaitingTransmissionCase {
  const char* name;
  size_t bytesPerSecond;  // what the device takes; 0: nothing
  size_t textSize;
  const char* count;
  int timeout;
};

void PrintTo(const WaitingTransmissionCase& c, std::ostream* os) {
  *os << c.name;
}

class WaitingTransmissionTest : public SercapTest,
                                public ::testing::WithParamInterface<WaitingTransmissionCase> {};

// With -nov the supervisor waits for each transmission; the waits never put
// off the time-out by more than the second it may always run over.
TEST_P(WaitingTransmissionTest, NeverPutsOffTheTimeOut) {
  const WaitingTransmissionCase& c = GetParam();
  // A Windows command line holds at most 32,767 characters.
  const std::string text(underWine() ? 30000 : c.textSize, 'T');
  PtyDevice device;
  const auto startedAt = Clock::now();
  auto run = start({port(device), "-nov", "-tx", text, "-ntx", c.count, "-t",
                    std::to_string(c.timeout), "-f", "out.spt"});
  std::atomic<bool> stop{false};
  std::thread slowDevice([&] {
    while (!stop.load()) {
      if (c.bytesPerSecond != 0) device.receive(c.bytesPerSecond / 10, milliseconds(100));
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  ProgramResult result = finish(*run, seconds(30));
  stop.store(true);
  slowDevice.join();

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_LT(secondsAfter(*run, result, startedAt), c.timeout + 2.5);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, WaitingTransmissionTest,
    ::testing::Values(WaitingTransmissionCase{"TakesNothing", 0, 100000, "-1", 4},
                      WaitingTransmissionCase{"TakesSlowly", 20000, 130000, "3", 2}),
    [](const auto& info) { return std::string(info.param.name); });

// SETXOFF suspends the line's output; the run must not leave it suspended
// for the next program that writes to the line.
TEST_F(HostileLimitsTest, SuspendedOutputIsResumedAtClose) {
  SKIP_UNDER_WINE("the POSIX build puts the line back at close");
  PtyDevice device;
  auto run = start({port(device), "-setsignal", "SETXOFF", "-t", "1", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "#* Set Signal SETXOFF\n\n");

  // Non-blocking: a write to a suspended line would wait for good.
  const int next = ::open(device.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(next, 0);
  EXPECT_EQ(::write(next, "after\n", 6), 6);
  ::close(next);
  EXPECT_EQ(device.receive(6, milliseconds(3000)), "after\n");
}

// The capture file buffer and the read buffer are on the heap: a small stack
// (ulimit -s, which threads take as theirs too) is enough.
TEST_F(HostileLimitsTest, SmallStackIsEnough) {
  SKIP_UNDER_WINE("a stack limit set by the shell is POSIX's");
  PtyDevice device;
  const std::vector<std::string> args = {"-c",          "ulimit -s 80 && exec \"$0\" \"$@\"",
                                         SERCAP_BINARY, device.slavePath(),
                                         "-ntx",        "1",
                                         "-t",          "30",
                                         "-f",          "out.spt"};
  ProgramRun run("/bin/sh", args, work().path(), {{"XDG_CONFIG_HOME", config().path()}});
  ASSERT_TRUE(awaitTransmission(device, run));
  const std::string report = textLines(100000);
  ASSERT_TRUE(device.send(report + "\x1a\n"));
  ProgramResult result = finish(run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), crlf(report));
}

// Standard output is a pipe set non-blocking (by whoever shares it) whose
// reader pauses while far more than the pipe holds is printed: the console
// is full, not gone, and gets everything once it is read again.
TEST_F(HostileLimitsTest, NonBlockingConsoleThatPausesGetsEverything) {
  SKIP_UNDER_WINE("a non-blocking standard output is POSIX's");
  const std::string noise(200 << 10, '\x01');  // a "!" each: more than a pipe holds
  PtyDevice device;
  auto run =
      startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"}, {}, Output::kNonBlockingPipe);
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(noise + "\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  std::this_thread::sleep_for(milliseconds(500));  // the console meets the full pipe
  ASSERT_TRUE(device.send("xkwo end\n"));
  const std::string out = readUntilEnd(run->outputPipe(), milliseconds(30000));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(out.size(), noise.size() + 14);
  EXPECT_EQ(out, std::string(noise.size(), '!') + "\n>>> kwo end\n\n");
  EXPECT_EQ(workFile("out.spt"), "\r\nxkwo end\r\n");
}

// When no thread can be started (a virtual-memory limit smaller than a
// thread's stack), the run says so and ends cleanly: the line put back as it
// was found, the capture file closed, a status of its own, no abort.
TEST_F(HostileLimitsTest, ThreadThatCannotStartEndsTheRunCleanly) {
  SKIP_UNDER_WINE("a virtual-memory limit set by the shell is POSIX's");
#ifdef SERCAP_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit a virtual-memory limit";
#endif
  PtyDevice device;
  termios cooked;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &cooked), 0);
  cooked.c_lflag |= ECHO | ICANON;
  ASSERT_EQ(tcsetattr(device.slaveFd(), TCSANOW, &cooked), 0);
  const std::vector<std::string> args = {"-c",          "ulimit -v 16384 && exec \"$0\" \"$@\"",
                                         SERCAP_BINARY, device.slavePath(),
                                         "-t",          "30",
                                         "-f",          "out.spt"};
  ProgramRun run("/bin/sh", args, work().path(), {{"XDG_CONFIG_HOME", config().path()}});
  ProgramResult result = finish(run);

  EXPECT_EQ(result.status, 32);
  EXPECT_EQ(result.out, "\n>>>CreateThread error : 11\n\n");
  EXPECT_TRUE(std::filesystem::exists(work().file("out.spt")));
  termios after;
  ASSERT_EQ(tcgetattr(device.slaveFd(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
}

}  // namespace
