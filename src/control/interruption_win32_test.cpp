// The console control events: log-off leaves the run alone, Ctrl-Break
// ends it with the status of Ctrl-C. Once interrupted, the process stays so:
// this is the last check of the test program that makes it.
#include <gtest/gtest.h>

#include <chrono>

#include "control/interruption.h"
#include "control/interruption_win32.h"

namespace {

using std::chrono::milliseconds;
using Wake = Interruption::Wake;

TEST(InterruptionWin32, LogOffIsIgnoredAndCtrlBreakEndsTheRun) {
  Interruption interruption;
  EXPECT_TRUE(consoleControlHandler(CTRL_LOGOFF_EVENT));
  EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kElapsed);
  EXPECT_EQ(interruption.exitStatus(), 0);

  EXPECT_TRUE(consoleControlHandler(CTRL_BREAK_EVENT));
  EXPECT_EQ(interruption.sleepFor(milliseconds(5000)), Wake::kInterrupted);
  EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kInterrupted) << "stays interrupted";
  EXPECT_EQ(static_cast<unsigned>(interruption.exitStatus()), 0xC000013AU);
}

}  // namespace
