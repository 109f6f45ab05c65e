#include "serial/uucp_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/temp_dir.h"
#include "testing/test_pty.h"

namespace {

namespace fs = std::filesystem;
using serial_detail::uucpLockHeld;
using serial_detail::uucpLockName;
using serial_detail::uucpLockPid;

std::string binaryPid(int pid) {
  std::string bytes(sizeof pid, '\0');
  std::memcpy(bytes.data(), &pid, sizeof pid);
  return bytes;
}

std::string textPid(long pid) {
  char text[32];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

// A process id that no process has: a child that has ended and been reaped.
pid_t deadPid() {
  pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  waitpid(child, &status, 0);
  return child;
}

// The highest process id the kernel hands out.
long pidMax() {
  long most = 0;
  std::ifstream("/proc/sys/kernel/pid_max") >> most;
  return most > 0 ? most : 4194304;
}

TEST(UucpLockPidTest, ReadsTheTextAndTheBinaryForm) {
  const struct {
    std::string content;
    long pid;
  } cases[] = {
      {"      4242\n", 4242},
      {"4242\n", 4242},
      {"4242", 4242},
      {"  4242 minicom root\n", 4242},
      {"4242\t\n", 4242},
      {binaryPid(4242), 4242},
      {binaryPid(12849), 12849},  // its bytes begin "12": text must not win
      {binaryPid(-5), 0},
      {binaryPid(0), 0},
      {"", 0},
      {"\n", 0},
      {"          \n", 0},
      {"pid 4242\n", 0},
      {"4242x\n", 0},
      {"-4242\n", 0},
      {"99999999999999999999\n", 0},
      // Beyond pid_t: not a pid, nor a pid once cast (-1, 0, 1).
      {"2147483647\n", 2147483647},
      {"2147483648\n", 0},
      {"4294967295\n", 0},
      {"4294967296\n", 0},
      {"4294967297\n", 0},
      {std::string("42\0\0\0", 5), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(uucpLockPid(c.content), c.pid) << '"' << c.content << '"';
}

TEST(UucpLockNameTest, NamesTheDeviceItLeadsTo) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  TempDir tmp;
  const std::string link = tmp.file("COM7");
  fs::create_symlink(pty.path(), link);
  std::ofstream(tmp.file("node")) << "";
  const std::string ptsName = "LCK..pts_" + pty.path().substr(pty.path().rfind('/') + 1);

  EXPECT_EQ(uucpLockName(pty.path()), ptsName);
  EXPECT_EQ(uucpLockName(link), ptsName);
  EXPECT_EQ(uucpLockName("/dev/null"), "LCK..null");
  EXPECT_EQ(uucpLockName(tmp.file("node")), "LCK..node");  // outside /dev: its file name
  EXPECT_EQ(uucpLockName(tmp.file("missing")), "");
}

// Lock files in two temporary lock folders, for a pseudo-terminal.
class UucpLockHeldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    name = uucpLockName(pty.path());
    dirs = {first.path(), second.path()};
  }
  void writeLock(const TempDir& dir, const std::string& content) {
    std::ofstream(dir.file(name), std::ios::binary) << content;
  }

  TestPty pty;
  TempDir first;
  TempDir second;
  std::string name;
  std::vector<std::string> dirs;
};

TEST_F(UucpLockHeldTest, LiveProcessHoldsThePort) {
  const pid_t live = getppid();  // the test runner: alive, and not us
  const struct {
    const char* form;
    std::string content;
    bool inSecond;
  } cases[] = {
      {"text", textPid(live), false},
      {"binary", binaryPid(live), false},
      {"text in the second folder", textPid(live), true},
      {"process 1, alive whoever owns it", textPid(1), false},
  };
  for (const auto& c : cases) {
    writeLock(c.inSecond ? second : first, c.content);
    EXPECT_TRUE(uucpLockHeld(pty.path(), dirs)) << c.form;
    fs::remove(first.file(name));
    fs::remove(second.file(name));
  }
  EXPECT_FALSE(uucpLockHeld(pty.path(), dirs));
}

TEST_F(UucpLockHeldTest, StaleOrEmptyLocksHoldNothing) {
  const struct {
    const char* form;
    std::string content;
  } cases[] = {
      {"dead process", textPid(deadPid())},
      {"dead process, binary", binaryPid(deadPid())},
      {"this very process", textPid(getpid())},
      {"above the kernel's pid_max", textPid(pidMax() + 1)},
      {"empty", ""},
      {"garbage", "locked\n"},
  };
  for (const auto& c : cases) {
    writeLock(first, c.content);
    EXPECT_FALSE(uucpLockHeld(pty.path(), dirs)) << c.form;
  }
}

TEST_F(UucpLockHeldTest, OnlyTheDevicesOwnLockCounts) {
  std::ofstream(first.file("LCK..ttyS0")) << textPid(getppid());
  std::ofstream(first.file(name + "0")) << textPid(getppid());
  EXPECT_FALSE(uucpLockHeld(pty.path(), dirs));
  // A lock folder that is missing or a lock that is a folder is no lock.
  fs::create_directory(second.file(name));
  EXPECT_FALSE(uucpLockHeld(pty.path(), {first.path(), second.path(), "/nonexistent"}));
}

}  // namespace
