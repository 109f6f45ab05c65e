// The capture worker's loop. Error messages are suppressed once the
// supervisor has ended the run, so a run that is shutting down does not
// report the failures its own shutdown causes. A countdown at 0 does not
// stop it: a line that comes in the run's last second is still read.
#include "capture/capture_worker.h"

#include <algorithm>

#include "capture/capture_file.h"
#include "control/interruption.h"
#include "serial/serial_line.h"

CaptureWorker::CaptureWorker(const CaptureSettings& settings, CaptureState& state,
                             std::FILE* console)
    : settings_(settings),
      state_(state),
      console_(console),
      filter_(settings, state.filter, *state.file, console) {}

void CaptureWorker::run() {
  int result = captureLoop();
  if (result != kStopped && !state_.stopRequested.load()) {
    state_.result.store(result);
    if (settings_.logLevel >= 1) {
      std::fprintf(console_, "\n>>>TotalByteRead %lld TotalByteInFile %lld exitCode %d\n",
                   static_cast<long long>(state_.totalByteRead),
                   static_cast<long long>(state_.filter.totalByteInFile), result);
    }
  }
  state_.workerRunning.store(false);
  // The supervisor shuts the run down at once instead of at its next pass.
  if (state_.supervisorSleep != nullptr) state_.supervisorSleep->wake();
}

int CaptureWorker::captureLoop() {
  SerialLine& port = *state_.port;
  if (port.status() != 0) return 64;
  size_t readSize = 0;
  for (;;) {
    int waited = port.waitForLineEvent();
    if (waited == SerialLine::kStopped) return kStopped;
    if (waited != 0) {
      if (!runEnded()) {
        std::fprintf(console_, "\n>>>WaitCommEvent error : %d\n", waited);
      }
      return 32;
    }
    int queried = port.queueCount(&readSize);
    if (queried == 0) {
      if (settings_.logLevel == 2) std::fprintf(console_, "\n>>>%zu char in the Que,>>", readSize);
    } else if (!runEnded()) {
      std::fprintf(console_, "\n>>>ClearCommError error : %d\n", queried);
    }
    readSize = std::min(readSize, kMaxRead);
    if (runEnded()) return kStopped;

    size_t count = port.read(readBuffer_.get(), readSize);
    state_.countdown.set(settings_.timeoutSeconds);
    if (settings_.progress) std::fputc('.', console_);
    if (settings_.logLevel == 2) std::fprintf(console_, "\n>>>%zu char read\n", count);
    state_.totalByteRead += static_cast<int64_t>(count);
    if (filter_.filter(readBuffer_.get(), count) == FilterVerdict::kEnd) return 0;
    // Before waiting again: the file shows what came at once, and a process
    // killed meanwhile loses none of it.
    state_.file->writeOut();
    if (port.status() != 0) return 64;
  }
}
