#include <gtest/gtest.h>

#include "capture/worker_state.h"

namespace {

TEST(Countdown, TicksTowardZeroOnly) {
  Countdown countdown;
  countdown.set(2);
  countdown.tick();
  EXPECT_EQ(countdown.get(), 1);
  countdown.tick();
  countdown.tick();
  EXPECT_EQ(countdown.get(), 0);
  countdown.set(-1);  // a negative time-out never expires
  countdown.tick();
  EXPECT_EQ(countdown.get(), -1);
}

}  // namespace
