#include "serial/port_opening.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/device_line.h"
#include "serial/line_termios2_linux.h"
#include "serial/port_environment_linux.h"
#include "testing/console_capture.h"
#include "testing/temp_dir.h"
#include "testing/test_pty.h"

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

  int open(const PortRequest& request) {
    ConsoleCapture console;
    int result = openPort(request, env, line, console.stream());
    output = console.text();
    return result;
  }

  TempDir tmp;
  fs::path root;
  PortEnvironment env;
  DeviceLine line;
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
    PortRequest request;
    request.portName = c.port;
    request.showSettings = true;
    EXPECT_EQ(open(request), 1) << c.port;
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
    PortRequest request;
    request.portName = c.port.c_str();
    request.showSettings = true;
    EXPECT_EQ(open(request), 1) << c.port;
    EXPECT_EQ(output, "\n>>>open com " + c.shown + " error : 25\n");
    EXPECT_FALSE(line.isOpen());
  }
}

TEST_F(PortOpeningTest, BusyPortFailsWithErrorSixteen) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  DeviceLine holder;
  ASSERT_EQ(holder.open(pty.path()), 0);

  PortRequest request;
  request.portName = pty.path().c_str();
  EXPECT_EQ(open(request), 1);
  EXPECT_EQ(output, "\n>>>open com " + pty.path() + " error : 16\n");
}

// Each case opens a fresh pseudo-terminal, by its path or mapped as COM12;
// "@" in the expected output stands for the name as shown.
TEST_F(PortOpeningTest, OpensConfiguresAndReportsAsTheRequestSays) {
  const struct {
    const char* name;
    bool asCom12;
    bool showSettings;
    LineSettings line;
    int result;
    std::string output;
  } cases[] = {
      {"quiet", false, false, {31250}, 0, ""},
      {"settings shown",
       false,
       true,
       {250000, Parity::kEven, StopBits::kTwo},
       0,
       "\n>>>@, rate 250000 ,8 dataBits, parityCode(2), stopBitCode(2)\n"},
      {"COM name shown, not the device",
       true,
       true,
       {},
       0,
       "\n>>>\\\\.\\COM12, rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n"},
      {"refused settings",
       false,
       true,
       {0},
       8,
       "\n>>>@, rate 0 ,8 dataBits, parityCode(0), stopBitCode(0)\n"
       "\n>>>SetCommState error : 22\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    fs::remove(root / "map" / "COM12");
    if (c.asCom12) fs::create_symlink(pty.path(), root / "map" / "COM12");
    PortRequest request;
    request.portName = c.asCom12 ? "COM12" : pty.path().c_str();
    request.showSettings = c.showSettings;
    request.line = c.line;
    EXPECT_EQ(open(request), c.result);
    std::string expected = c.output;
    if (size_t at = expected.find('@'); at != std::string::npos)
      expected.replace(at, 1, pty.path());
    EXPECT_EQ(output, expected);
    EXPECT_TRUE(line.isOpen());  // also after a failure: closing is the caller's part
    if (c.result == 0) {
      uint32_t in = 0, out = 0;
      ASSERT_EQ(serial_detail::getLineRates(pty.probe(), &in, &out), 0);
      EXPECT_EQ(out, static_cast<uint32_t>(c.line.baudRate));
    }
    line.close();
  }
}

}  // namespace
