#include "capture/line_stamper.h"

#include <gtest/gtest.h>

#include "capture/time_text.h"

namespace {

using namespace std::chrono;

TEST(TimeText, UtcWithMilliseconds) {
  struct Case {
    sys_time<milliseconds> time;
    const char* text;
  } cases[] = {
      {sys_days{2026y / 12 / 10} + 14h + 5min + 42s + 123ms, "2026-12-10T14:05:42.123Z"},
      {sys_days{1970y / 1 / 1} + 0ms, "1970-01-01T00:00:00.000Z"},
      {sys_days{2024y / 2 / 29} + 23h + 59min + 59s + 999ms, "2024-02-29T23:59:59.999Z"},
      {sys_days{1969y / 12 / 31} + 23h + 59min + 59s + 1ms, "1969-12-31T23:59:59.001Z"},
  };
  for (const Case& c : cases) EXPECT_EQ(utcMillisText(c.time), c.text);
  // Finer parts are cut, not rounded: a stamp never lies ahead of the read.
  EXPECT_EQ(utcMillisText(sys_days{2026y / 1 / 1} + 999999us), "2026-01-01T00:00:00.999Z");
}

TEST(TimeText, ElapsedSecondsWithThreeDecimals) {
  EXPECT_EQ(elapsedText(steady_clock::duration::zero()), "0.000");
  EXPECT_EQ(elapsedText(duration_cast<steady_clock::duration>(12345678us)), "12.345");
  EXPECT_EQ(elapsedText(duration_cast<steady_clock::duration>(100h + 7ms)), "360000.007");
  EXPECT_EQ(elapsedText(duration_cast<steady_clock::duration>(-5ms)), "0.000");
}

TEST(LineStamper, PrefixOfEachMode) {
  const steady_clock::time_point opened{};
  const ReadTime read{sys_days{2026y / 12 / 10} + 14h + 5min + 42s + 123ms,
                      opened + duration_cast<steady_clock::duration>(12345ms)};
  EXPECT_EQ(LineStamper(TimestampMode::kIso, opened).prefix(read), "2026-12-10T14:05:42.123Z ");
  EXPECT_EQ(LineStamper(TimestampMode::kElapsed, opened).prefix(read), "12.345 ");
  LineStamper off(TimestampMode::kOff, opened);
  EXPECT_FALSE(off.enabled());
  EXPECT_EQ(off.prefix(read), "");
}

}  // namespace
