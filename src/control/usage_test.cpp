#include "control/usage.h"

#include <gtest/gtest.h>

#include "testing/console_capture.h"

namespace {

std::string usageFor(const CaptureSettings& settings) {
  ConsoleCapture console;
  printUsage(console.stream(), "./sercap", settings);
  return console.text();
}

// The whole text is compared with the one users know (tests/fixtures/usage.txt)
// by the whole-program tests; here, the one line that follows the settings.
TEST(Usage, DefaultsLineShowsSettingsAsTheyStand) {
  CaptureSettings s;
  s.portName = "COM3";
  s.baudRate = 300;
  s.parityCode = 2;
  s.parityName = "even";
  s.stopBitCode = 2;
  s.timeoutSeconds = -1;
  s.outputPath = "a b.txt";
  s.flowControl = 0;  // the closing words are fixed text whatever it holds
  std::string text = usageFor(s);
  EXPECT_NE(text.find("\ndefault is COM3 -t -1 -f a b.txt -r 300 , even parity(2), 2 stopBit(2), "
                      "DTR&RTS flowctrl Enabled (1)\n"),
            std::string::npos)
      << text;
}

}  // namespace
