// Opening the capture port at the start of a run, waiting first for a port
// that is missing (--wait): a board whose port appears only once it has
// booted, an adapter not plugged in yet.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>

#include "control/interruption.h"
#include "serial/port_opening.h"

struct PortWaitLimit {
  // How long a missing port is waited for: 0 not at all, negative without limit.
  int32_t seconds = 0;
  // When the run must end whatever it waits for (--max-time), if ever.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

struct PortOpening {
  int result = 0;            // openPort()'s result
  bool interrupted = false;  // the wait was interrupted: nothing was reported
};

// Opens the port as openPort() does. A port missing at the first try is
// waited for within `limit`, with one console line saying so, and tried every
// 100 ms; one that then refuses the open is given a moment (PortWatcher). A
// port that never came is the usual open failure (error 2); an interruption
// ends the wait without a message.
PortOpening openPortWaiting(const PortRequest& request, const PortEnvironment& env,
                            SerialLine& line, const PortWaitLimit& limit,
                            Interruption& interruption, std::FILE* console);
