#include "serial/network/deadline_call.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A call done in time is waited for, and nothing is left over.
TEST(CallBefore, CallDoneInTime) {
  int result = 0;
  bool leftOver = false;
  EXPECT_TRUE(callBefore(
      Clock::now() + std::chrono::seconds(60), [&] { result = 42; }, [&] { leftOver = true; }));
  EXPECT_EQ(result, 42);
  EXPECT_FALSE(leftOver);
}

// A call that does not end by the deadline does not hold the caller: here it
// ends only once the caller has been answered, so a caller that waited for it
// would never be. What it made is then freed on its own thread.
TEST(CallBefore, CallThatOutlastsTheDeadlineIsLeftToItself) {
  auto release = std::make_shared<std::promise<void>>();
  auto freed = std::make_shared<std::promise<void>>();
  std::shared_future<void> released = release->get_future().share();
  EXPECT_FALSE(callBefore(
      Clock::now() + milliseconds(50), [released] { released.wait(); },
      [freed] { freed->set_value(); }));
  release->set_value();
  EXPECT_EQ(freed->get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

}  // namespace
