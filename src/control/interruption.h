// What cuts the supervisor's one-second sleep short: the user interrupting
// the run (on POSIX any signal that would end the process by default, SIGINT,
// SIGTERM, SIGHUP, SIGQUIT and the like; Ctrl-C, Ctrl-Break or closing the
// console on Windows), or a wake-up from the capture worker when it ends.
//
// The interrupting signals are taken over for the rest of the process: they
// are only ever taken by sleepFor(), so a second one never kills the process
// before it has closed the capture file and flushed its output, and the run
// answers the first one by ending like a time-out.
#pragma once

#include <chrono>

class Interruption {
 public:
  enum class Wake { kElapsed, kWoken, kInterrupted };

  // Call before any other thread starts: threads inherit the held signals.
  Interruption();
  ~Interruption();
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;

  // Sleeps up to `limit` (0: only looks). Returns early when an interruption
  // came, also one that came before the call (once interrupted, every sleep
  // says so), or when wake() was called since the previous sleep returned.
  Wake sleepFor(std::chrono::milliseconds limit);

  // The process's exit status for the first interruption taken; 0 if none.
  int exitStatus() const;
  // The first interruption's name ("SIGINT"; "CTRL_C_EVENT" on Windows), or
  // null if none came.
  const char* name() const;

  // Cuts the current or the next sleep short. Any thread.
  void wake();

 private:
  struct Impl;
  Impl* impl_;
};
