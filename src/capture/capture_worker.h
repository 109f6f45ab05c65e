// The capture worker: the one thread that reads the serial line. It sleeps
// until a line feed has arrived, reads what is queued, restarts the
// inactivity countdown and feeds the byte filter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "control/capture_settings.h"
#include "control/capture_state.h"

class CaptureWorker {
 public:
  static constexpr size_t kMaxRead = 16383;

  CaptureWorker(const CaptureSettings& settings, CaptureState& state, std::FILE* console);

  // The thread's body: runs the capture loop, stores its result, reports.
  void run();

  // The capture loop: 0 (capture ended), 32 (waiting for a line event
  // failed), 64 (the line's error query failed), or kStopped when the
  // supervisor ended the run.
  static constexpr int kStopped = -2;
  int captureLoop();

 private:
  bool runEnded() const { return state_.stopRequested.load(); }

  const CaptureSettings& settings_;
  CaptureState& state_;
  std::FILE* console_;
  ByteFilter filter_;
  // On the heap: a thread's stack may be small (ulimit -s).
  std::unique_ptr<uint8_t[]> readBuffer_{new uint8_t[kMaxRead + 1]};
};
