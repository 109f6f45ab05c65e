#include "serial/output_drain_linux.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using serial_detail::DrainWatch;
using Step = DrainWatch::Step;
using std::chrono::milliseconds;

// What the driver reports at one look, and what the watch must answer.
struct Look {
  int atMs;
  int queued;
  bool transmitterEmpty;
  Step step;
};

struct DrainCase {
  const char* name;
  std::vector<Look> looks;
};

// A pseudo-terminal and a USB adapter report an empty queue at once, so the
// sequences of a real UART are played here; stall 1 s, limit 30 s.
TEST(DrainWatchTest, WaitsWhileOutputGoesOutAndDiscardsWhatStalls) {
  const DrainCase cases[] = {
      {"nothing queued", {{0, 0, true, Step::kDone}}},
      {"driver that cannot say", {{0, -1, true, Step::kDone}}},
      {"queue drains steadily",
       {{0, 300, false, Step::kLookAgain},
        {900, 200, false, Step::kLookAgain},
        {1800, 100, false, Step::kLookAgain},
        {2700, 0, false, Step::kLookAgain},
        {2800, 0, true, Step::kDone}}},
      {"flow control holds the queue",
       {{0, 300, false, Step::kLookAgain},
        {999, 300, false, Step::kLookAgain},
        {1000, 300, false, Step::kDiscard}}},
      {"stall counts from the last progress",
       {{0, 300, false, Step::kLookAgain},
        {800, 250, false, Step::kLookAgain},
        {1700, 250, false, Step::kLookAgain},
        {1800, 250, false, Step::kDiscard}}},
      {"a growing queue is no progress",
       {{0, 10, false, Step::kLookAgain},
        {500, 20, false, Step::kLookAgain},
        {1000, 20, false, Step::kDiscard}}},
      {"UART FIFO held after the queue emptied",
       {{0, 5, false, Step::kLookAgain},
        {100, 0, false, Step::kLookAgain},
        {1099, 0, false, Step::kLookAgain},
        {1100, 0, false, Step::kDiscard}}},
      {"slow line gives up at the limit",
       {{0, 4000, false, Step::kLookAgain},
        {15000, 2000, false, Step::kLookAgain},
        {29999, 1, false, Step::kLookAgain},
        {30000, 0, false, Step::kDiscard}}},
  };
  for (const DrainCase& c : cases) {
    const auto start = DrainWatch::Clock::time_point{} + std::chrono::hours(1);
    DrainWatch watch(start, milliseconds(1000), milliseconds(30000));
    for (const Look& look : c.looks) {
      EXPECT_EQ(watch.look(look.queued, look.transmitterEmpty, start + milliseconds(look.atMs)),
                look.step)
          << c.name << " at " << look.atMs << " ms";
    }
  }
}

// After an interruption or the time-out the close gives a slow line that
// keeps moving about a second in all, not the usual limit; a line that
// finishes within it is not cut.
TEST(DrainWatchTest, HurriedCloseGivesUpWithinASecond) {
  const DrainCase cases[] = {
      {"slow line keeps moving",
       {{0, 4000, false, Step::kLookAgain},
        {400, 3000, false, Step::kLookAgain},
        {800, 2000, false, Step::kLookAgain},
        {1000, 1900, false, Step::kDiscard}}},
      {"line done in time",
       {{0, 300, false, Step::kLookAgain},
        {500, 0, false, Step::kLookAgain},
        {600, 0, true, Step::kDone}}},
  };
  for (const DrainCase& c : cases) {
    const auto start = DrainWatch::Clock::time_point{} + std::chrono::hours(1);
    DrainWatch watch(start, serial_detail::kDrainStall, serial_detail::kHurriedDrainLimit);
    for (const Look& look : c.looks) {
      EXPECT_EQ(watch.look(look.queued, look.transmitterEmpty, start + milliseconds(look.atMs)),
                look.step)
          << c.name << " at " << look.atMs << " ms";
    }
  }
}

}  // namespace
