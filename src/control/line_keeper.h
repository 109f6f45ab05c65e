// Keeps a run going across the loss of its port (--reconnect). When the
// capture worker ends on a failed line, the keeper joins it, closes the port
// (a driver gives a returning adapter a new number while anyone still holds
// the old node), and tries to open the port under the same name every 100 ms,
// while the supervisor's passes go on: the countdown, the deadline and the
// signals work as always. Once the port is back it is configured as at the
// start, the line signals applied again, and a new worker captures on into
// the same file. A port that goes again while it is set up (its emptying,
// settings or signals failing as a vanished device's do) is still away.
//
// Everything here runs on the supervisor's thread, which owns the port; the
// worker only reports the loss (WorkerState::lostLine) and ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "capture/worker_state.h"
#include "control/interruption.h"
#include "serial/port_opening.h"
#include "serial/port_watcher.h"

class LineKeeper {
 public:
  using Clock = std::chrono::steady_clock;

  // How the supervisor starts the capture worker's thread and joins it.
  struct WorkerThread {
    std::function<void()> start;
    std::function<void()> join;
  };

  LineKeeper(const PortRequest& request, const PortEnvironment& env, const char* signalList,
             WorkerState& state, WorkerThread worker, std::FILE* console);

  // Whether the port is lost and not back yet.
  bool away() const { return away_; }
  // Whether the run goes on: the worker captures, or the port is lost and
  // waited for.
  bool lineInUse() const;

  // The supervisor's sleep until `end`. Returns kInterrupted at once on an
  // interruption, kWoken when the worker has ended and the run ends with it,
  // kElapsed otherwise. A loss is taken over here, and the port tried while
  // it is away.
  Interruption::Wake sleepUntil(Clock::time_point end, Interruption& interruption);

  // Runs `duty` before each of sleepUntil()'s sleeps while the port is there
  // and no loss waits to be taken over: the answers to a board's prompts, so
  // that one the worker wakes the supervisor for goes out at once.
  void betweenSleeps(std::function<void()> duty) { duty_ = std::move(duty); }

  // How often the port came back.
  int64_t returns() const { return returns_; }

 private:
  bool lossToTakeOver() const;
  void letGo();
  void goAway(int error);
  void tryReturn();

  const PortRequest& request_;
  const PortEnvironment& env_;
  const char* signalList_;
  WorkerState& state_;
  WorkerThread worker_;
  std::FILE* console_;
  bool away_ = false;
  PortWatcher watcher_{PortWatcher::Wait::kReturn};
  int64_t returns_ = 0;
  std::function<void()> duty_;
};
