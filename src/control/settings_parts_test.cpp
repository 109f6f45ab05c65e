#include "control/settings_parts.h"

#include <gtest/gtest.h>

namespace {

// "-flowctrl" takes any number: 0 and 2 have their own meaning, every other
// one holds the lines high as the default 1 does.
TEST(SettingsParts, FlowControlNumbersGiveTheModemLines) {
  const struct {
    int32_t flowControl;
    ModemLines lines;
  } cases[] = {
      {0, ModemLines::kLow},  {1, ModemLines::kHigh},  {2, ModemLines::kHandshake},
      {7, ModemLines::kHigh}, {-1, ModemLines::kHigh}, {INT32_MAX, ModemLines::kHigh},
  };
  for (const auto& c : cases) {
    CaptureSettings s;
    s.flowControl = c.flowControl;
    EXPECT_EQ(lineSettingsOf(s).modemLines, c.lines) << c.flowControl;
  }
}

TEST(SettingsParts, ParityAndStopBitCodesGiveTheLineSettings) {
  CaptureSettings s;
  EXPECT_EQ(lineSettingsOf(s).parity, Parity::kNone);
  EXPECT_EQ(lineSettingsOf(s).stopBits, StopBits::kOne);
  s.parityCode = 1;
  s.stopBitCode = 2;
  EXPECT_EQ(lineSettingsOf(s).parity, Parity::kOdd);
  EXPECT_EQ(lineSettingsOf(s).stopBits, StopBits::kTwo);
  s.parityCode = 2;
  EXPECT_EQ(lineSettingsOf(s).parity, Parity::kEven);
}

}  // namespace
