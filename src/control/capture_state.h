// One capture run as the supervisor (main thread) holds it: what it owns and
// opens and closes alone (the capture file, the line, the worker's thread),
// and what it shares with the capture worker (`shared`, capture/
// worker_state.h), which points at the file and the line owned here. The
// worker's end wakes the supervisor's sleep.
#pragma once

#include <memory>
#include <thread>
#include <utility>

#include "capture/capture_file.h"
#include "capture/worker_state.h"
#include "serial/serial_line.h"

struct CaptureState {
  CaptureState(std::unique_ptr<SerialLine> lineOfThePort, std::FILE* console)
      : file(console), line(std::move(lineOfThePort)) {
    shared.file = &file;
    shared.port = line.get();
  }
  CaptureState(const CaptureState&) = delete;
  CaptureState& operator=(const CaptureState&) = delete;

  CaptureFile file;
  std::unique_ptr<SerialLine> line;
  std::thread workerThread;
  int opened = 0;  // the port opening's result
  WorkerState shared;
};
