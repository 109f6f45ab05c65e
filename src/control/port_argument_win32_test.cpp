// Port arguments on Windows: one trailing colon is dropped from a COM name,
// and from nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/command_line.h"
#include "testing/console_capture.h"

namespace {

CaptureSettings parsed(std::vector<std::string> args) {
  args.insert(args.begin(), "sercap");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  // The settings borrow the argument strings: they are kept for good.
  static std::vector<std::vector<std::string>> kept;
  kept.push_back(std::move(args));
  CaptureSettings settings;
  ConsoleCapture console;
  EXPECT_EQ(parseCommandLine(static_cast<int>(argv.size()), argv.data(), settings, console.stream())
                .outcome,
            ParseOutcome::kRun);
  return settings;
}

TEST(PortArgumentWin32, OneTrailingColonOfAComNameIsDropped) {
  const struct {
    const char* argument;
    const char* port;
  } cases[] = {
      {"COM3:", "COM3"}, {"com12:", "com12"}, {"COM3::", "COM3:"}, {"COM3", "COM3"}, {"/x:", "/x:"},
  };
  for (const auto& c : cases) EXPECT_STREQ(parsed({c.argument}).portName, c.port) << c.argument;
  // An option's value is no port argument and stays as it is.
  CaptureSettings s = parsed({"-f", "COM3:", "-tx", "COM4:"});
  EXPECT_STREQ(s.outputPath, "COM3:");
  EXPECT_STREQ(s.txString, "COM4:");
}

}  // namespace
