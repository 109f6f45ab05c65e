// The wait for a port missing at start: the supervisor's thread sleeps in
// short slices between opens, so that a signal ends it at once.
#include "control/port_wait.h"

#include <algorithm>
#include <string>

#include "serial/port_absence.h"
#include "serial/port_watcher.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// When the wait gives up, if ever.
std::optional<Clock::time_point> giveUpAt(const PortWaitLimit& limit, Clock::time_point now) {
  std::optional<Clock::time_point> at = limit.deadline;
  if (limit.seconds >= 0) {
    const auto waited = now + std::chrono::seconds(limit.seconds);
    at = at ? std::min(*at, waited) : waited;
  }
  return at;
}

}  // namespace

PortOpening openPortWaiting(const PortRequest& request, const PortEnvironment& env,
                            SerialLine& line, const PortWaitLimit& limit,
                            Interruption& interruption, std::FILE* console) {
  int error = openDevice(request, env, line);
  if (error == kPortMissing && limit.seconds != 0) {
    std::fprintf(console, "\n>>>waiting for port %s\n", shownDevicePath(request.portName).c_str());
    // Shown at once also on a buffered console: the wait may be long.
    std::fflush(console);
    const auto end = giveUpAt(limit, Clock::now());
    PortWatcher watcher(PortWatcher::Wait::kStart);
    for (;;) {
      milliseconds slice = PortWatcher::kRetry;
      if (end) {
        auto left = std::chrono::duration_cast<milliseconds>(*end - Clock::now());
        if (left <= milliseconds(0)) break;
        slice = std::min(slice, left);
      }
      if (interruption.sleepFor(slice) == Interruption::Wake::kInterrupted) {
        return {reportFor(LineStep::kOpen).result, true};
      }
      error = openDevice(request, env, line);
      if (watcher.judge(error, Clock::now()) != PortWatcher::Verdict::kWaiting) break;
    }
  }
  return {finishOpening(request, error, line, console), false};
}
