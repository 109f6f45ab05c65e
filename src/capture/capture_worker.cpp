// The capture worker's loop. Error messages are suppressed once the
// supervisor has ended the run, so a run that is shutting down does not
// report the failures its own shutdown causes. A countdown at 0 does not
// stop it: a line that comes in the run's last second is still read.
#include "capture/capture_worker.h"

#include <algorithm>
#include <cstring>

#include "capture/capture_file.h"
#include "serial/line_faults.h"
#include "serial/serial_line.h"

CaptureWorker::CaptureWorker(const WorkerSettings& settings, WorkerState& state, std::FILE* console)
    : settings_(settings),
      state_(state),
      console_(console),
      filter_(settings.filter, state.filter, *state.file, console, state.tap) {
  if (settings.dialogue.enabled()) dialogue_.emplace(settings.dialogue);
}

void CaptureWorker::run() {
  int result = captureLoop();
  if (result != kLoopStopped && !state_.stopRequested.load()) {
    state_.result.store(result);
    // A loss left to the supervisor does not end the run.
    if (settings_.logLevel >= 1 && state_.lostLine.load() == 0) {
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
  // Every line failure is reported alike, whichever call saw it first.
  if (int checked = port.check()) return lineFailed(checked);
  size_t readSize = 0;
  for (;;) {
    int waited = port.awaitLine();
    if (waited == SerialLine::kWaitStopped) return kLoopStopped;
    if (waited != 0) return lineFailed(waited);
    int counted = port.collect(&readSize);
    if (counted == 0) {
      if (settings_.logLevel == 2) std::fprintf(console_, "\n>>>%zu char in the Que,>>", readSize);
    } else {
      report(LineStep::kCount, counted);
    }
    if (runEnded()) return kLoopStopped;
    if (readQueued(readSize) == FilterVerdict::kEnd) return 0;
    // Before waiting again: the file shows what came at once, and a process
    // killed meanwhile loses none of it. While lines keep coming the worker
    // does not wait, and the file is written a buffer at a time.
    if (!port.lineWaiting()) {
      state_.file->writeOut();
      if (state_.raw != nullptr) state_.raw->writeOut();
    }
    // A port unplugged between two reads may show it here first.
    if (int checked = port.check()) return lineFailed(checked);
  }
}

// One read: takes up to readSize queued bytes and filters them.
FilterVerdict CaptureWorker::readQueued(size_t readSize) {
  size_t count = state_.port->take(readBuffer_.get(), std::min(readSize, kMaxRead));
  state_.countdown.set(settings_.timeoutSeconds);
  if (settings_.progress) std::fputc('.', console_);
  if (settings_.logLevel == 2) std::fprintf(console_, "\n>>>%zu char read\n", count);
  state_.totalByteRead += static_cast<int64_t>(count);
  noteRead(count);
  if (settings_.logLevel >= 1) showLineErrors();
  return filterRead(readBuffer_.get(), count);
}

FilterVerdict CaptureWorker::filterRead(const uint8_t* data, size_t count) {
  if (!dialogue_) return filter_.filter(data, count);
  for (;;) {
    const Dialogue::Event event = dialogue_->next(data, count);
    if (filter_.filter(data, event.length) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
    data += event.length;
    count -= event.length;
    switch (event.kind) {
      case Dialogue::Event::Kind::kNone:
        return FilterVerdict::kContinue;
      case Dialogue::Event::Kind::kExpected:
        stepMatched(event.index);
        break;
      case Dialogue::Event::Kind::kEndText:
        return endOnText(event.index);
    }
  }
}

// The rest of the read is dropped, as after the end phrase.
FilterVerdict CaptureWorker::endOnText(size_t index) {
  state_.endText = index;
  if (settings_.logLevel >= 1) std::fprintf(console_, "\n>>>end text %zu matched\n", index + 1);
  return filter_.endAfterText();
}

// The answer is the supervisor's to send: it owns the transmissions, and a
// write this thread started could be cut when the thread ends.
void CaptureWorker::stepMatched(size_t index) {
  if (settings_.logLevel >= 1) std::fprintf(console_, "\n>>>expect %zu matched\n", index + 1);
  state_.stepsMatched.store(index + 1);
  if (state_.onStepMatched) state_.onStepMatched();
}

// The line failed. What it had already taken in, without a line feed to
// wake the worker, is still filtered and written; then the failure is
// reported, or left to the supervisor when the run may survive it.
int CaptureWorker::lineFailed(int error) {
  size_t queued = 0;
  state_.port->collect(&queued);
  while (queued != 0 && !runEnded()) {
    if (readQueued(queued) == FilterVerdict::kEnd) return 0;
    state_.port->collect(&queued);
  }
  // The port may stay away for long: what came before the loss is in the
  // file meanwhile.
  state_.file->writeOut();
  if (state_.raw != nullptr) state_.raw->writeOut();
  if (settings_.survivesLoss) {
    state_.lostLine.store(error);
  } else {
    report(LineStep::kWait, error);
  }
  return reportFor(LineStep::kWait).result;
}

void CaptureWorker::noteRead(size_t count) {
  if (count == 0) return;
  const ReadTime now = ReadTime::now();
  if (!state_.firstRead) state_.firstRead = now;
  state_.lastRead = now;
  if (state_.tap != nullptr) state_.tap->readAt(now);
  if (state_.raw != nullptr) {
    state_.raw->putAsIs(readBuffer_.get(), count);
    // Written out as the capture file is: also on the device's Ctrl-Y.
    if (std::memchr(readBuffer_.get(), 0x19, count) != nullptr) state_.raw->flush();
  }
}

void CaptureWorker::showLineErrors() {
  const std::optional<LineErrors> errors = state_.port->lineErrors();
  if (!errors || *errors == shownErrors_) return;
  shownErrors_ = *errors;
  std::fprintf(console_,
               "\n>>>line errors: overrun %lld, buffer overrun %lld, framing %lld, parity %lld, "
               "break %lld\n",
               static_cast<long long>(errors->overrun),
               static_cast<long long>(errors->bufferOverrun),
               static_cast<long long>(errors->framing), static_cast<long long>(errors->parity),
               static_cast<long long>(errors->breaks));
}
