#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
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
  std::set<std::string> names;
  for (int signalNumber : terminating) {
    Interruption interruption;
    ASSERT_EQ(raise(signalNumber), 0);
    EXPECT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kInterrupted) << signalNumber;
    EXPECT_EQ(interruption.exitStatus(), 128 + signalNumber) << signalNumber;
    ASSERT_NE(interruption.name(), nullptr) << signalNumber;
    EXPECT_TRUE(names.insert(interruption.name()).second)
        << signalNumber << " has another's name, " << interruption.name();
  }
}

// The summary names the signal as the shell's `kill -l` does, real-time
// signals too.
TEST(InterruptionPosix, NamesAsTheShellDoes) {
  const int middle = (SIGRTMAX - SIGRTMIN) / 2;
  const struct {
    int signalNumber;
    std::string name;
  } cases[] = {
      {SIGTERM, "SIGTERM"},
      {SIGSTKFLT, "SIGSTKFLT"},
      {SIGRTMIN, "SIGRTMIN"},
      {SIGRTMIN + 5, "SIGRTMIN+5"},
      {SIGRTMIN + middle, "SIGRTMIN+" + std::to_string(middle)},
      {SIGRTMIN + middle + 1, "SIGRTMAX-" + std::to_string(SIGRTMAX - SIGRTMIN - middle - 1)},
      {SIGRTMAX - 1, "SIGRTMAX-1"},
      {SIGRTMAX, "SIGRTMAX"},
  };
  for (const auto& c : cases) {
    Interruption interruption;
    ASSERT_EQ(raise(c.signalNumber), 0);
    ASSERT_EQ(interruption.sleepFor(milliseconds(0)), Wake::kInterrupted);
    EXPECT_EQ(std::string(interruption.name()), c.name) << c.signalNumber;
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
