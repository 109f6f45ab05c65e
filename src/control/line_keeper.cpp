// The port's loss and return, on the supervisor's thread.
#include "control/line_keeper.h"

#include <algorithm>
#include <string>

#include "serial/line_signals.h"
#include "serial/port_absence.h"
#include "serial/serial_line.h"

namespace {

using Wake = Interruption::Wake;
using std::chrono::milliseconds;

}  // namespace

LineKeeper::LineKeeper(const PortRequest& request, const PortEnvironment& env,
                       const char* signalList, WorkerState& state, WorkerThread worker,
                       std::FILE* console)
    : request_(request),
      env_(env),
      signalList_(signalList),
      state_(state),
      worker_(std::move(worker)),
      console_(console) {}

bool LineKeeper::lineInUse() const {
  // The worker stores its loss before it clears workerRunning: look in the
  // other order.
  if (state_.workerRunning.load()) return true;
  return away_ || state_.lostLine.load() != 0;
}

bool LineKeeper::lossToTakeOver() const {
  return !away_ && !state_.workerRunning.load() && state_.lostLine.load() != 0;
}

Wake LineKeeper::sleepUntil(Clock::time_point end, Interruption& interruption) {
  for (;;) {
    if (lossToTakeOver()) {
      letGo();
    } else if (!away_ && duty_) {
      duty_();
    }
    auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    if (away_) left = std::min(left, milliseconds(PortWatcher::kRetry));
    Wake wake = interruption.sleepFor(std::max(left, milliseconds(0)));
    if (wake == Wake::kInterrupted) return wake;
    if (away_) {
      tryReturn();
      if (!lineInUse()) return Wake::kWoken;  // it came back unusable: the run ends
      if (Clock::now() >= end) return Wake::kElapsed;
      continue;
    }
    if (wake == Wake::kElapsed) return wake;
    // Woken: the worker has ended, unless this is a wake-up from an earlier end.
    if (!lineInUse()) return wake;
  }
}

void LineKeeper::letGo() {
  const int error = state_.lostLine.load();
  worker_.join();
  state_.lostLine.store(0);
  goAway(error);
}

void LineKeeper::tryReturn() {
  SerialLine& port = *state_.port;
  const int error = openDevice(request_, env_, port);
  if (watcher_.judge(error, Clock::now()) == PortWatcher::Verdict::kWaiting) return;
  LineFault fault{LineStep::kOpen, error};
  if (error == 0) {
    fault = setUpLine(request_, port, console_);
    // Gone again while it was set up (an adapter unplugged as it came back):
    // still away, and tried again.
    if (fault.step != LineStep::kNone && isDeviceGone(fault.error)) {
      port.close();
      return;
    }
  }
  // Back, or failing in a way waiting will not mend: either way no longer
  // away. A failure is reported as at the start and ends the run with its result.
  away_ = false;
  const int result = reportFault(request_, fault, console_);
  state_.result.store(result);
  if (result != 0) return;
  ++returns_;
  std::fprintf(console_, "\n>>>port %s back\n", shownDevicePath(request_.portName).c_str());
  std::fflush(console_);
  if (signalList_ != nullptr) {
    int gone = 0;
    applySignalList(
        signalList_,
        [&port, &gone](LineSignal signal) {
          const int err = port.applySignal(signal);
          if (gone == 0 && isDeviceGone(err)) gone = err;
          return err;
        },
        console_);
    if (gone != 0) {
      goAway(gone);
      return;
    }
  }
  worker_.start();
}

// The port is lost (again, if it went while its signals were applied): it
// is closed and waited for.
void LineKeeper::goAway(int error) {
  state_.port->close();
  away_ = true;
  watcher_ = PortWatcher(PortWatcher::Wait::kReturn);
  std::fprintf(console_, "\n>>>port %s lost, error : %d, waiting for it\n",
               shownDevicePath(request_.portName).c_str(), error);
  std::fflush(console_);
}
