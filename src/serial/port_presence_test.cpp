#include "serial/port_presence.h"
#include "serial/port_presence_linux.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/temp_dir.h"
#include "testing/test_pty.h"

namespace {

namespace fs = std::filesystem;
using serial_detail::ttyDriversInclude;

// As a machine with a PC UART, USB adapters and pseudo-terminals shows it.
const char* const kDrivers =
    "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
    "/dev/console         /dev/console    5       1 system:console\n"
    "/dev/ptmx            /dev/ptmx       5       2 system\n"
    "usbserial            /dev/ttyUSB   188 0-511 serial\n"
    "serial               /dev/ttyS       4 64-111 serial\n"
    "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
    "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
    "unknown              /dev/tty        4 1-63 console\n";

TEST(TtyDriversTest, FindsTheDriverThatClaimsTheNumber) {
  const struct {
    unsigned major;
    unsigned minor;
    bool tty;
  } cases[] = {
      {4, 64, true},  {4, 111, true},   {4, 112, false},   {4, 0, false},   {4, 1, true},
      {188, 0, true}, {188, 511, true}, {188, 512, false}, {136, 7, true},  {5, 0, true},
      {5, 2, true},   {5, 3, false},    {1, 3, false},     {166, 0, false}, {0, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ttyDriversInclude(kDrivers, c.major, c.minor), c.tty) << c.major << ":" << c.minor;
  }
}

TEST(TtyDriversTest, MalformedLinesClaimNothing) {
  const char* const lines[] = {
      "",
      "serial /dev/ttyS 4\n",
      "serial /dev/ttyS 4 x-111 serial\n",
      "serial /dev/ttyS 4 64-x serial\n",
      "serial /dev/ttyS 4 64x serial\n",
      "serial /dev/ttyS 4 -64 serial\n",
      "serial /dev/ttyS four 64 serial\n",
  };
  for (const char* text : lines) EXPECT_FALSE(ttyDriversInclude(text, 4, 64)) << text;
  EXPECT_TRUE(ttyDriversInclude("serial /dev/ttyS 4 64\n", 4, 64));
}

// Devices of several kinds in a temporary tree, judged against a fake sysfs
// tty class and a fake driver table.
class PortPresenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    root = tmp.path();
    fs::create_directories(root / "sys");
    env.sysfsRoot = (root / "sys").string();
    env.ttyDrivers = (root / "drivers").string();
    struct stat st;
    ASSERT_EQ(stat(pty.path().c_str(), &st), 0);
    ptyNumber = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    ptyName = pty.path().substr(pty.path().rfind('/') + 1);
  }
  void drivers(const std::string& text) { std::ofstream(root / "drivers") << text; }
  void sysfsTty(const std::string& name, const std::string& dev) {
    fs::create_directories(root / "sys" / name);
    std::ofstream(root / "sys" / name / "dev") << dev;
  }

  TestPty pty;
  TempDir tmp;
  fs::path root;
  PortEnvironment env;
  std::string ptyNumber;
  std::string ptyName;
};

TEST_F(PortPresenceTest, TerminalClaimedByATtyDriverIsPresent) {
  drivers(kDrivers);
  fs::create_symlink(pty.path(), root / "COM7");
  EXPECT_TRUE(portPresent(pty.path(), env));
  EXPECT_TRUE(portPresent((root / "COM7").string(), env));

  drivers("serial /dev/ttyS 4 64-111 serial\n");
  EXPECT_FALSE(portPresent(pty.path(), env));
}

TEST_F(PortPresenceTest, TerminalShownBySysfsUnderItsNameIsPresent) {
  drivers("serial /dev/ttyS 4 64-111 serial\n");
  sysfsTty(ptyName, ptyNumber + "\n");
  EXPECT_TRUE(portPresent(pty.path(), env));

  // The entry must be the node's own: same name, same numbers.
  sysfsTty(ptyName, "4:64\n");
  EXPECT_FALSE(portPresent(pty.path(), env));
  fs::remove_all(root / "sys" / ptyName);
  sysfsTty("ttyS0", ptyNumber + "\n");
  EXPECT_FALSE(portPresent(pty.path(), env));
}

TEST_F(PortPresenceTest, WhatIsNoTerminalDeviceIsAbsent) {
  drivers(kDrivers);
  std::ofstream(root / "plain") << "not a tty";
  ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
  fs::create_symlink(root / "missing", root / "dangling");
  fs::create_directories(root / "folder");
  // A sysfs tty entry of the same name does not make a FIFO or a file a tty.
  sysfsTty("fifo", ptyNumber + "\n");
  sysfsTty("plain", ptyNumber + "\n");
  for (const fs::path& p : {fs::path("/dev/null"), root / "plain", root / "fifo", root / "dangling",
                            root / "missing", root / "folder"}) {
    EXPECT_FALSE(portPresent(p.string(), env)) << p;
  }
}

TEST_F(PortPresenceTest, OnlyReadableTablesRuleOutATerminal) {
  std::ofstream(root / "plain") << "not a tty";
  drivers(kDrivers);
  EXPECT_TRUE(mayBeTerminal(pty.path(), env));
  EXPECT_FALSE(mayBeTerminal("/dev/null", env));
  EXPECT_FALSE(mayBeTerminal((root / "plain").string(), env));
  EXPECT_TRUE(mayBeTerminal((root / "missing").string(), env));  // the open tells

  // Without the driver table a character device may be anything: it may be
  // opened, and the listing counts it.
  drivers("");
  EXPECT_TRUE(mayBeTerminal("/dev/null", env));
  EXPECT_FALSE(mayBeTerminal((root / "plain").string(), env));
  env.ttyDrivers = (root / "no-such-table").string();
  EXPECT_TRUE(mayBeTerminal("/dev/null", env));
  EXPECT_TRUE(mayBeTerminal(pty.path(), env));
  EXPECT_TRUE(portPresent("/dev/null", env));
  EXPECT_FALSE(portPresent((root / "plain").string(), env));
  EXPECT_FALSE(portPresent((root / "missing").string(), env));
}

TEST_F(PortPresenceTest, DecidingOpensNothing) {
  drivers(kDrivers);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, pty.path().c_str(), IN_OPEN), 0);
  ASSERT_TRUE(portPresent(pty.path(), env));
  ASSERT_TRUE(mayBeTerminal(pty.path(), env));

  char events[256];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the device node was opened";
  // The watch does see an open.
  close(open(pty.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
  EXPECT_GT(read(watch, events, sizeof events), 0);
  close(watch);
}

}  // namespace
