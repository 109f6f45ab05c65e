// The capture worker's loop. Error messages are suppressed once the
// supervisor has ended the run, so a run that is shutting down does not
// report the failures its own shutdown causes. A countdown at 0 does not
// stop it: a line that comes in the run's last second is still read.
#include "capture/capture_worker.h"

#include <algorithm>

#include "capture/capture_file.h"
#include "serial/line_faults.h"
#include "serial/serial_line.h"

CaptureWorker::CaptureWorker(const WorkerSettings& settings, WorkerState& state, std::FILE* console)
    : settings_(settings),
      state_(state),
      console_(console),
      filter_(settings.filter, state.filter, *state.file, console) {}

void CaptureWorker::run() {
  int result = captureLoop();
  if (result != kLoopStopped && !state_.stopRequested.load()) {
    state_.result.store(result);
    if (settings_.logLevel >= 1) {
      std::fprintf(console_, "\n>>>TotalByteRead %lld TotalByteInFile %lld exitCode %d\n",
                   static_cast<long long>(state_.totalByteRead),
                   static_cast<long long>(state_.filter.totalByteInFile), result);
    }
  }
  state_.workerRunning.store(false);
  if (state_.onWorkerEnd) state_.onWorkerEnd();
}

// Prints the step's message unless the run is shutting down.
void CaptureWorker::report(LineStep step, int error) {
  const char* message = reportFor(step).message;
  if (message != nullptr && !runEnded()) std::fprintf(console_, message, error);
}

int CaptureWorker::captureLoop() {
  SerialLine& port = *state_.port;
  if (port.check() != 0) return reportFor(LineStep::kCheck).result;
  size_t readSize = 0;
  for (;;) {
    int waited = port.awaitLine();
    if (waited == SerialLine::kWaitStopped) return kLoopStopped;
    if (waited != 0) {
      report(LineStep::kWait, waited);
      return reportFor(LineStep::kWait).result;
    }
    int counted = port.collect(&readSize);
    if (counted == 0) {
      if (settings_.logLevel == 2) std::fprintf(console_, "\n>>>%zu char in the Que,>>", readSize);
    } else {
      report(LineStep::kCount, counted);
    }
    readSize = std::min(readSize, kMaxRead);
    if (runEnded()) return kLoopStopped;

    size_t count = port.take(readBuffer_.get(), readSize);
    state_.countdown.set(settings_.timeoutSeconds);
    if (settings_.progress) std::fputc('.', console_);
    if (settings_.logLevel == 2) std::fprintf(console_, "\n>>>%zu char read\n", count);
    state_.totalByteRead += static_cast<int64_t>(count);
    if (filter_.filter(readBuffer_.get(), count) == FilterVerdict::kEnd) return 0;
    // Before waiting again: the file shows what came at once, and a process
    // killed meanwhile loses none of it. While lines keep coming the worker
    // does not wait, and the file is written a buffer at a time.
    if (!port.lineWaiting()) state_.file->writeOut();
    if (port.check() != 0) return reportFor(LineStep::kCheck).result;
  }
}
