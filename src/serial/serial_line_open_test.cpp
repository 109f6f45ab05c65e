// What SerialLine::open() refuses, and what close() leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/device_line.h"
#include "serial/line_termios2_linux.h"
#include "testing/temp_dir.h"
#include "testing/test_pty.h"

namespace {

namespace fs = std::filesystem;

TEST(SerialLineOpenTest, WhatIsNoTerminalIsEnotty) {
  TempDir tmp;
  std::ofstream(tmp.file("plain")) << "not a tty";
  // Nobody writes to it: opening it must neither hang nor succeed.
  ASSERT_EQ(mkfifo(tmp.file("fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", tmp.file("COM7"));
  for (const std::string& path : {tmp.file("plain"), tmp.file("fifo"), std::string("/dev/null"),
                                  tmp.file("COM7"), tmp.path()}) {
    DeviceLine line;
    EXPECT_EQ(line.open(path), ENOTTY) << path;
    EXPECT_FALSE(line.isOpen());
  }
  EXPECT_EQ(readWholeFile(tmp.file("plain")), "not a tty");
}

TEST(SerialLineOpenTest, FifoIsNotOpenedAtAll) {
  TempDir tmp;
  ASSERT_EQ(mkfifo(tmp.file("fifo").c_str(), 0600), 0);
  // An open for writing would let through a reader that waits for a writer.
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, tmp.file("fifo").c_str(), IN_OPEN), 0);
  DeviceLine line;
  EXPECT_EQ(line.open(tmp.file("fifo")), ENOTTY);
  char events[256];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the FIFO was opened";
  close(watch);
}

// The process's own controlling terminal, under each name, in a child that
// takes the pseudo-terminal as its controlling terminal.
TEST(SerialLineOpenTest, OwnControllingTerminalIsBusy) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setsid() < 0) _exit(10);
    int ctty = open(pty.path().c_str(), O_RDWR);  // no O_NOCTTY: becomes ours
    if (ctty < 0 || tcgetsid(ctty) != getsid(0)) _exit(11);
    DeviceLine line;
    if (line.open("/dev/tty") != EBUSY) _exit(12);
    if (line.open(pty.path()) != EBUSY) _exit(13);
    _exit(0);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setsid, 11 no controlling terminal, 12 /dev/tty "
                                       "accepted, 13 its own path accepted";

  // Anyone else's terminal is a port like any other.
  DeviceLine line;
  EXPECT_EQ(line.open(pty.path()), 0);
}

// A line found cooked at an exact rate without a Bnnn constant.
class SerialLineRestoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    serial_detail::RawLineMode odd;
    odd.rate = 31250;
    ASSERT_EQ(serial_detail::setRawLine(pty.probe(), odd), 0);
    termios t;
    ASSERT_EQ(tcgetattr(pty.probe(), &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    t.c_cc[VMIN] = 1;
    ASSERT_EQ(tcsetattr(pty.probe(), TCSANOW, &t), 0);
    ASSERT_EQ(tcgetattr(pty.probe(), &found), 0);
  }

  void expectAsFound() {
    termios now;
    ASSERT_EQ(tcgetattr(pty.probe(), &now), 0);
    EXPECT_EQ(now.c_iflag, found.c_iflag);
    EXPECT_EQ(now.c_oflag, found.c_oflag);
    EXPECT_EQ(now.c_cflag, found.c_cflag);
    EXPECT_EQ(now.c_lflag, found.c_lflag);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(now.c_cc), NCCS),
              std::string(reinterpret_cast<char*>(found.c_cc), NCCS));
    uint32_t in = 0, out = 0;
    ASSERT_EQ(serial_detail::getLineRates(pty.probe(), &in, &out), 0);
    EXPECT_EQ(out, 31250u);
    EXPECT_EQ(in, 31250u);
  }

  TestPty pty;
  termios found;
};

TEST_F(SerialLineRestoreTest, CloseRestoresTheSettingsFound) {
  {
    DeviceLine line;
    ASSERT_EQ(line.open(pty.path()), 0);
    LineSettings settings;
    settings.baudRate = 115200;
    settings.parity = Parity::kOdd;
    settings.stopBits = StopBits::kTwo;
    ASSERT_EQ(line.configure(settings).error, 0);
    termios raw;
    ASSERT_EQ(tcgetattr(pty.probe(), &raw), 0);
    ASSERT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);
    line.close();
    expectAsFound();
    ASSERT_EQ(line.open(pty.path()), 0);
    ASSERT_EQ(line.configure(LineSettings{}).error, 0);
  }
  expectAsFound();  // the destructor closes it the same way
}

TEST_F(SerialLineRestoreTest, RefusedSettingsAreUndoneToo) {
  DeviceLine line;
  ASSERT_EQ(line.open(pty.path()), 0);
  LineSettings refused;
  refused.baudRate = -1;
  EXPECT_EQ(line.configure(refused).error, EINVAL);
  line.close();
  expectAsFound();
}

}  // namespace
