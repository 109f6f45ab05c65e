// The waiting rules with played open errors and times: which errors are
// waited out, for how long a refusal is, and which fail at once.
#include "serial/port_watcher.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

namespace {

using Verdict = PortWatcher::Verdict;
using Wait = PortWatcher::Wait;
using std::chrono::milliseconds;

struct Try {
  int atMillis;
  int error;
  Verdict verdict;
};

struct WatchCase {
  const char* name;
  Wait wait;
  std::vector<Try> tries;
};

TEST(PortWatcherTest, JudgesEachOpenByItsErrorAndTime) {
  const WatchCase cases[] = {
      {"missing, then there",
       Wait::kStart,
       {{0, ENOENT, Verdict::kWaiting},
        {100, ENOENT, Verdict::kWaiting},
        {200, 0, Verdict::kOpened}}},
      {"busy is never waited for", Wait::kStart, {{0, EBUSY, Verdict::kFailed}}},
      {"not a terminal is never waited for", Wait::kReturn, {{0, ENOTTY, Verdict::kFailed}}},
      {"a lingering node is only away after a loss", Wait::kStart, {{0, ENODEV, Verdict::kFailed}}},
      {"a lingering node after a loss",
       Wait::kReturn,
       {{0, ENODEV, Verdict::kWaiting},
        {100, ENXIO, Verdict::kWaiting},
        {200, EIO, Verdict::kWaiting},
        {300, ENOENT, Verdict::kWaiting},
        {400, 0, Verdict::kOpened}}},
      {"a network port's server restarting, after a loss",
       Wait::kReturn,
       {{0, ECONNRESET, Verdict::kWaiting},
        {100, ECONNREFUSED, Verdict::kWaiting},
        {200, ETIMEDOUT, Verdict::kWaiting},
        {300, EHOSTUNREACH, Verdict::kWaiting},
        {400, 0, Verdict::kOpened}}},
      {"a refused connection at start is never waited for",
       Wait::kStart,
       {{0, ECONNREFUSED, Verdict::kFailed}}},
      {"a refusal after appearing, then the open",
       Wait::kStart,
       {{0, ENOENT, Verdict::kWaiting},
        {100, EACCES, Verdict::kWaiting},
        {1500, EPERM, Verdict::kWaiting},
        {1600, 0, Verdict::kOpened}}},
      {"a refusal that lasts counts after its grace",
       Wait::kReturn,
       {{0, ENODEV, Verdict::kWaiting},
        {100, EACCES, Verdict::kWaiting},
        {2099, EACCES, Verdict::kWaiting},
        {2100, EACCES, Verdict::kFailed}}},
      {"going away again restarts the grace",
       Wait::kReturn,
       {{0, EACCES, Verdict::kWaiting},
        {1900, ENOENT, Verdict::kWaiting},
        {2000, EACCES, Verdict::kWaiting},
        {3900, EACCES, Verdict::kWaiting},
        {4000, EACCES, Verdict::kFailed}}},
  };
  const auto start = PortWatcher::Clock::now();
  for (const WatchCase& c : cases) {
    PortWatcher watcher(c.wait);
    for (const Try& t : c.tries) {
      EXPECT_EQ(watcher.judge(t.error, start + milliseconds(t.atMillis)), t.verdict)
          << c.name << ", error " << t.error << " at " << t.atMillis << " ms";
    }
  }
}

}  // namespace
