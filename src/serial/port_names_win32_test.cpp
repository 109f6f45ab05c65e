#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "serial/port_names.h"

namespace {

struct NameCase {
  const char* name;
  int result;
  const char* device;  // opened when result is 0
  const char* shown;
};

// Every COM name opens through the device namespace; messages show the
// prefix only for names longer than four characters; anything else is no
// port on Windows.
TEST(PortNamesWin32, ComNamesOnlyAndTheirDevicePaths) {
  const NameCase cases[] = {
      {"COM3", 0, "\\\\.\\COM3", "COM3"},
      {"COM12", 0, "\\\\.\\COM12", "\\\\.\\COM12"},
      {"COM255", 0, "\\\\.\\COM255", "\\\\.\\COM255"},
      {"/dev/ttyUSB0", ERROR_FILE_NOT_FOUND, "", "/dev/ttyUSB0"},
      {"com3", ERROR_FILE_NOT_FOUND, "", "com3"},
      {"LPT1", ERROR_FILE_NOT_FOUND, "", "LPT1"},
  };
  const PortEnvironment& env = processPortEnvironment();
  for (const NameCase& c : cases) {
    std::string device;
    EXPECT_EQ(resolvePort(c.name, env, &device), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(device, c.device) << c.name;
    }
    EXPECT_EQ(shownDevicePath(c.name), c.shown) << c.name;
  }
}

}  // namespace
