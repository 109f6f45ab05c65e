// The capture worker: the one thread that reads the serial line. It sleeps
// until a line feed has arrived (any byte, read by arrival), takes what is
// queued, restarts the inactivity countdown and feeds the byte filter; with
// a dialogue, it looks for the dialogue's texts in what it took first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "capture/byte_filter.h"
#include "capture/dialogue.h"
#include "capture/worker_state.h"
#include "serial/line_errors.h"
#include "serial/line_faults.h"

// What the command line decides about the worker.
struct WorkerSettings {
  int32_t timeoutSeconds = 20;  // the countdown after every read
  int logLevel = 0;             // 1: the end report; 2 also every read
  bool progress = false;        // a "." on the console for every read
  // A failed line is left to the supervisor, which waits for the port to
  // come back (--reconnect): the worker ends without reporting it.
  bool survivesLoss = false;
  FilterSettings filter;
  DialogueSettings dialogue;  // --end-on, --expect/--send
};

class CaptureWorker {
 public:
  static constexpr size_t kMaxRead = 16383;

  CaptureWorker(const WorkerSettings& settings, WorkerState& state, std::FILE* console);

  // The thread's body: runs the capture loop, stores its result, reports.
  void run();

  // The capture loop: 0 (capture ended), a line failure's result from the
  // table of line_faults.h, or kLoopStopped when the run was ended from
  // outside.
  static constexpr int kLoopStopped = -2;
  int captureLoop();

 private:
  bool runEnded() const { return state_.stopRequested.load(); }
  void report(LineStep step, int error);
  FilterVerdict readQueued(size_t readSize);
  // Filters a read; with a dialogue, piece by piece between its texts.
  FilterVerdict filterRead(const uint8_t* data, size_t count);
  FilterVerdict endOnText(size_t index);
  void stepMatched(size_t index);
  int lineFailed(int error);
  // What a read brought, besides the filter: its time, the raw copy.
  void noteRead(size_t count);
  // Under -d, the driver's line errors as soon as they change.
  void showLineErrors();

  const WorkerSettings settings_;
  WorkerState& state_;
  std::FILE* console_;
  ByteFilter filter_;
  // Carries on across the worker's threads, as the filter's state does.
  std::optional<Dialogue> dialogue_;
  LineErrors shownErrors_;
  // On the heap: a thread's stack may be small (ulimit -s).
  std::unique_ptr<uint8_t[]> readBuffer_{new uint8_t[kMaxRead + 1]};
};
