// The program's main line: from the argument list to the exit status. It
// opens the capture file and the port, starts the capture worker, then wakes
// once a second to count the inactivity time-out down and transmit the start
// text, and at once when the worker ends or the user interrupts; at the end
// it closes everything.
#pragma once

#include <cstdio>

#include "control/capture_settings.h"
#include "control/interruption.h"
#include "serial/port_names.h"

// Runs the program; returns the process's exit status.
int runProgram(int argc, char** argv, std::FILE* console, Interruption& interruption);

// One capture run with parsed settings; returns the process's exit status.
int runCapture(const CaptureSettings& settings, bool startInSegment, const PortEnvironment& env,
               std::FILE* console, Interruption& interruption);
