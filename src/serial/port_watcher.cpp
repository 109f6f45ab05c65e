// The rules for waiting on a port, apart from the clock and the opens
// themselves, so that they can be tried with played errors and times.
#include "serial/port_watcher.h"

#include "serial/port_absence.h"

bool PortWatcher::away(int error) const {
  return wait_ == Wait::kReturn ? isPortAway(error) : error == kPortMissing;
}

PortWatcher::Verdict PortWatcher::judge(int error, Clock::time_point now) {
  if (error == 0) return Verdict::kOpened;
  if (away(error)) {
    refusedSince_.reset();
    return Verdict::kWaiting;
  }
  if (!isBriefRefusal(error)) return Verdict::kFailed;
  if (!refusedSince_) refusedSince_ = now;
  return now - *refusedSince_ < kRefusalGrace ? Verdict::kWaiting : Verdict::kFailed;
}
