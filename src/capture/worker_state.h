// What the capture worker shares with the thread that starts and stops it.
// Every field says who writes it; anything written by one thread and read by
// the other is atomic, and nothing here is locked.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>

#include "capture/byte_filter.h"
#include "capture/line_stamper.h"
#include "capture/line_tap.h"

class CaptureFile;
class SerialLine;

// The inactivity countdown, in seconds. The supervisor ticks it toward 0
// once a second; the worker restarts it after every read. A tick never
// overwrites a restart that happened since it read the value.
class Countdown {
 public:
  int32_t get() const { return value_.load(); }
  void set(int32_t seconds) { value_.store(seconds); }
  // Moves a positive count one step toward 0; a negative count never expires.
  void tick() {
    int32_t seen = value_.load();
    while (seen > 0 && !value_.compare_exchange_weak(seen, seen - 1)) {
    }
  }

 private:
  std::atomic<int32_t> value_{0};
};

struct WorkerState {
  // Written by both threads.
  Countdown countdown;
  // Main thread: the port opening's result; then the worker's loop result,
  // stored before it clears workerRunning.
  std::atomic<int32_t> result{0};
  // Worker: cleared as its last act. Main thread: set before starting it.
  std::atomic<bool> workerRunning{false};
  // Main thread: set when it ends the run; a worker stopped this way stores
  // no result and prints nothing more.
  std::atomic<bool> stopRequested{false};
  // Worker: the error of the line failure it ended on, when that is left to
  // the supervisor (WorkerSettings::survivesLoss), stored before it clears
  // workerRunning. Main thread: cleared when it has taken the loss over.
  std::atomic<int> lostLine{0};
  // Called by the worker once it has ended, so that whoever waits for it
  // need not wait for its next look. Set before the worker starts.
  std::function<void()> onWorkerEnd;
  // Worker: how many --expect steps have matched, stored before it calls
  // onStepMatched (set before the worker starts), so that whoever sends the
  // answers sends them at once.
  std::atomic<size_t> stepsMatched{0};
  std::function<void()> onStepMatched;

  // The worker alone, once the run is under way.
  FilterState filter;
  int64_t totalByteRead = 0;
  // The --end-on text that ended the run, counted from 0, if one did.
  std::optional<size_t> endText;
  // When the first and the last read that brought bytes were made.
  std::optional<ReadTime> firstRead;
  std::optional<ReadTime> lastRead;
  // Set by the main thread before the worker starts, then the worker's: what
  // sees the lines written (--timestamps, --fail-on), if anything.
  LineTap* tap = nullptr;

  // Opened and closed by the main thread. The worker writes the file; the
  // file is closed only after the worker has been joined. The port is read
  // by the worker and written (transmissions, stop) by the main thread.
  CaptureFile* file = nullptr;
  SerialLine* port = nullptr;
  // The raw copy's file (--raw), if any: like the capture file.
  CaptureFile* raw = nullptr;
};
