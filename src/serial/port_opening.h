// Opening the capture port: resolve the name, open it for this process alone,
// empty it and configure it, reporting the first failure.
#pragma once

#include <cstdio>
#include <vector>

#include "serial/line_settings.h"
#include "serial/port_names.h"
#include "serial/serial_line.h"

// What the port is opened with.
struct PortRequest {
  const char* portName = "COM1";
  LineSettings line;
  bool showSettings = false;  // print the settings before applying them
  // The run's own files (the capture file, the raw copy, the summary), none
  // of which may be the port's device: the device would be sent its own
  // text back. Such a port is busy.
  std::vector<const char*> runFiles;
};

// Returns 0 when the line is ready, or the failing step's result from the
// table of line_faults.h: 1 the port could not be opened (missing: error 2,
// busy or the own terminal: error 16 on POSIX, busy: error 5 on Windows, no
// terminal: error 25), 2 it could not be emptied, 8 the line settings were
// refused (also a rate the driver did not take: error 22); on Windows also
// 16, 32 and 64 for its own steps. Each failure prints its message on
// `console` (some steps print none). Nothing is undone on failure: the
// caller closes the line.
int openPort(const PortRequest& request, const PortEnvironment& env, SerialLine& line,
             std::FILE* console);

// openPort() in two halves, for a caller that waits for a missing port in
// between. openDevice() resolves the name and opens the device, silently:
// 0 or the error number (2 when the port does not exist). finishOpening()
// reports a failed open as openPort() would, or empties and configures the
// opened line; it returns openPort()'s result.
int openDevice(const PortRequest& request, const PortEnvironment& env, SerialLine& line);
// Whether `file` is the port's device, by whatever name (never for a
// network port); the port's name is resolved as openDevice() resolves it.
bool isThePort(const PortRequest& request, const PortEnvironment& env, const char* file);
int finishOpening(const PortRequest& request, int openError, SerialLine& line, std::FILE* console);

// finishOpening() for an opened line, in two halves, for a caller that
// judges a failure before it counts: setUpLine() empties and configures the
// line, printing only the settings line when asked; reportFault() prints the
// failure's message and returns its result (0 for none).
LineFault setUpLine(const PortRequest& request, SerialLine& line, std::FILE* console);
int reportFault(const PortRequest& request, const LineFault& fault, std::FILE* console);
