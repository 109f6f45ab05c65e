#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "control/interruption.h"

namespace {

using std::chrono::milliseconds;
using Wake = Interruption::Wake;

// Every asynchronous signal whose default would end the process is taken as
// an interruption, with the status a shell shows for that signal; were one
// not held, raising it would end this test program.
TEST(InterruptionPosix, TerminatingSignalsInterruptWithTheirOwnStatus) {
  std::vector<int> terminating = {SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGUSR2, SIGALRM,
                                  SIGVTALRM, SIGPROF, SIGXCPU, SIGIO,   SIGPWR,  SIGSTKFLT};
  for (int realTime = SIGRTMIN; realTime <= SIGRTMAX; ++realTime) terminating.push_back(realTime);
  for (int signalNumber : terminating) {
    Interruption interruption;
    ASSERT_EQ(raise(signalNumber), 0);
    EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kInterrupted) << signalNumber;
    EXPECT_EQ(interruption.exitStatus(), 128 + signalNumber) << signalNumber;
  }
}

// SIGUSR1 is the worker's wake-up: it wakes, it does not interrupt.
TEST(InterruptionPosix, Sigusr1OnlyWakes) {
  Interruption interruption;
  ASSERT_EQ(raise(SIGUSR1), 0);
  EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kWoken);
  EXPECT_EQ(interruption.exitStatus(), 0);
}

}  // namespace
