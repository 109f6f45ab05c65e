#include "control/rack_run.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// 3 and 5 only replace a 0, and 3 wins over 5.
TEST(RackRun, ResultAfterFailTextsAndExpectedEnd) {
  struct Case {
    int result;
    bool failText;
    bool expectEnd;
    RunEnd end;
    int expected;
  } cases[] = {
      {0, false, false, RunEnd::kTimeOut, 0},
      {0, true, false, RunEnd::kCtrlZ, 3},
      {0, false, true, RunEnd::kTimeOut, 5},
      {0, false, true, RunEnd::kDeadline, 5},
      {0, false, true, RunEnd::kCtrlZ, 0},
      {0, false, true, RunEnd::kEndPhrase, 0},
      {0, true, true, RunEnd::kTimeOut, 3},
      {32, true, true, RunEnd::kLineFailure, 32},
      {-1, true, false, RunEnd::kCtrlZ, -1},
      {1, false, true, RunEnd::kOpenFailure, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rackResult(c.result, c.failText, c.expectEnd, c.end), c.expected)
        << c.result << " " << c.failText << " " << c.expectEnd << " " << runEndName(c.end);
  }
}

TEST(RackRun, DeadlineNeverEarly) {
  const auto start = std::chrono::steady_clock::now();
  Deadline none(start, -1);
  EXPECT_FALSE(none.passed());
  Deadline now(start, 0);
  EXPECT_TRUE(now.passed());
  EXPECT_TRUE(now.reached());

  Deadline soon(start, 1);
  EXPECT_FALSE(soon.passed());
  EXPECT_FALSE(soon.reached());
  std::this_thread::sleep_until(start + std::chrono::milliseconds(1001));
  EXPECT_TRUE(soon.passed());
  // A start long ago: passed at once.
  EXPECT_TRUE(Deadline(start - std::chrono::hours(1), 3600).passed());
}

}  // namespace
