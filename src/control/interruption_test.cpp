#include "control/interruption.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Wake = Interruption::Wake;

// The worker's wake-up: one that came before the sleep cuts it short at
// once, one from another thread cuts a long sleep short, and each counts
// once. No interruption means exit status 0.
TEST(Interruption, WakeCutsOneSleepShort) {
  Interruption interruption;
  EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kElapsed);

  interruption.wake();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(interruption.sleepFor(seconds(30)), Wake::kWoken);
  EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kElapsed) << "one wake-up, one sleep";

  std::thread worker([&interruption] {
    std::this_thread::sleep_for(milliseconds(200));
    interruption.wake();
  });
  EXPECT_EQ(interruption.sleepFor(seconds(30)), Wake::kWoken);
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, seconds(20));

  EXPECT_EQ(interruption.exitStatus(), 0);
  EXPECT_EQ(interruption.name(), nullptr);
}

}  // namespace
