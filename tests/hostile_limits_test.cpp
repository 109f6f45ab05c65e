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
