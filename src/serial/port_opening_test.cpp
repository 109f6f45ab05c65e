#include "serial/port_opening.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/line_termios2.h"
#include "serial/test_pty.h"
#include "testing/console_capture.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Runs openPort in an empty port map and sysfs, its console going to a string.
class PortOpeningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = tmp.path();
    fs::create_directories(root / "map");
    fs::create_directories(root / "sys");
    env.mapDir = (root / "map").string();
    env.sysfsRoot = (root / "sys").string();
    env.devRoot = (root / "dev").string();
  }

  int open(const CaptureSettings& settings) {
    ConsoleCapture console;
    int result = openPort(settings, env, line, console.stream());
    output = console.text();
    return result;
  }

  TempDir tmp;
  fs::path root;
  PortEnvironment env;
  SerialLine line;
  std::string output;
};

TEST_F(PortOpeningTest, MissingPortsFailWithErrorTwo) {
  const struct {
    const char* port;
    const char* message;
  } cases[] = {
      {"COM3", "\n>>>open com COM3 error : 2\n"},
      {"COM12", "\n>>>open com \\\\.\\COM12 error : 2\n"},
      {"COMX", "\n>>>open com COMX error : 2\n"},
      {"/dev/sercap-not-here", "\n>>>open com /dev/sercap-not-here error : 2\n"},
  };
  for (const auto& c : cases) {
    CaptureSettings settings;
    settings.portName = c.port;
    settings.logLevel = 2;
    EXPECT_EQ(open(settings), 1) << c.port;
    EXPECT_EQ(output, c.message);
    EXPECT_FALSE(line.isOpen());
  }
}

TEST_F(PortOpeningTest, WhatIsNoTerminalFailsWithErrorTwentyFive) {
  std::ofstream(root / "plain") << "text";
  ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", root / "map" / "COM4");
  const struct {
    std::string port;
    std::string shown;
  } cases[] = {
      {(root / "plain").string(), (root / "plain").string()},
      {(root / "fifo").string(), (root / "fifo").string()},
      {"/dev/null", "/dev/null"},
      {"COM4", "COM4"},
  };
  for (const auto& c : cases) {
    CaptureSettings settings;
    settings.portName = c.port.c_str();
    settings.logLevel = 2;
    EXPECT_EQ(open(settings), 1) << c.port;
    EXPECT_EQ(output, "\n>>>open com " + c.shown + " error : 25\n");
    EXPECT_FALSE(line.isOpen());
  }
}

TEST_F(PortOpeningTest, BusyPortFailsWithErrorSixteen) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  SerialLine holder;
  ASSERT_EQ(holder.open(pty.path()), 0);

  CaptureSettings settings;
  settings.portName = pty.path().c_str();
  EXPECT_EQ(open(settings), 1);
  EXPECT_EQ(output, "\n>>>open com " + pty.path() + " error : 16\n");
}

TEST_F(PortOpeningTest, OpensAndConfiguresQuietly) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  CaptureSettings settings;
  settings.portName = pty.path().c_str();
  settings.baudRate = 31250;
  EXPECT_EQ(open(settings), 0);
  EXPECT_EQ(output, "");
  EXPECT_TRUE(line.isOpen());
  uint32_t in = 0, out = 0;
  ASSERT_EQ(serial_detail::getLineRates(pty.probe(), &in, &out), 0);
  EXPECT_EQ(out, 31250u);
}

TEST_F(PortOpeningTest, DebugLineShowsThePathAndTheSettings) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  CaptureSettings settings;
  settings.portName = pty.path().c_str();
  settings.logLevel = 1;
  settings.baudRate = 250000;
  settings.parityCode = 2;
  settings.stopBitCode = 2;
  EXPECT_EQ(open(settings), 0);
  EXPECT_EQ(output,
            "\n>>>" + pty.path() + ", rate 250000 ,8 dataBits, parityCode(2), stopBitCode(2)\n");
}

TEST_F(PortOpeningTest, DebugLineShowsTheComNameNotTheDevice) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  fs::create_symlink(pty.path(), root / "map" / "COM12");
  CaptureSettings settings;
  settings.portName = "COM12";
  settings.logLevel = 1;
  EXPECT_EQ(open(settings), 0);
  EXPECT_EQ(output, "\n>>>\\\\.\\COM12, rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n");
}

TEST_F(PortOpeningTest, RefusedSettingsFailWithEightAndLeaveThePortOpen) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  CaptureSettings settings;
  settings.portName = pty.path().c_str();
  settings.logLevel = 1;
  settings.baudRate = 0;
  EXPECT_EQ(open(settings), 8);
  EXPECT_EQ(output, "\n>>>" + pty.path() +
                        ", rate 0 ,8 dataBits, parityCode(0), stopBitCode(0)\n"
                        "\n>>>SetCommState error : 22\n");
  EXPECT_TRUE(line.isOpen());  // closing is the caller's part
}

}  // namespace
