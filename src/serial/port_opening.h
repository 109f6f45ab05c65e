// Opening the capture port: resolve the name, open it for this process alone,
// empty it and apply the line settings, reporting the first failure.
#pragma once

#include <cstdio>

#include "control/capture_settings.h"
#include "serial/port_names.h"
#include "serial/serial_line.h"

// Returns 0 when the line is ready, or the failing step's result: 1 the port
// could not be opened (missing: error 2, busy or the own terminal: error 16
// on POSIX, busy: error 5 on Windows, no terminal: error 25), 2 it could not
// be emptied, 8 the line settings were refused (also a rate the driver did
// not take: error 22); on Windows also 16 the time-outs could not be read or
// set, 32 the write request and 64 the event mask or the read request could
// not be made. Each failure prints its message on `console` (the requests
// print none). Nothing is undone on failure: the caller closes the line.
int openPort(const CaptureSettings& settings, const PortEnvironment& env, SerialLine& line,
             std::FILE* console);
