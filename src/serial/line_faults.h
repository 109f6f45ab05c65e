// The steps of using a line that can fail, each with the run's result code
// and the console message it prints: one table for the port opening and the
// capture worker. The message names are the Windows calls that first did
// these steps; they are the texts users and scripts know, on every platform.
#pragma once

#include "serial/run_result.h"

enum class LineStep {
  kNone,          // nothing failed
  kOpen,          // the port could not be opened
  kPurge,         // what both directions held could not be discarded
  kSettings,      // the line settings were refused
  kTimeouts,      // the read time-outs could not be read or set
  kEventMask,     // the line-feed event could not be armed
  kWriteRequest,  // the write request could not be made
  kReadRequest,   // the read request could not be made
  kWait,          // waiting for a line failed during the run
  kCount,         // asking how much is queued failed during the run
  kStepCount,     // not a step: how many there are
};

// A step that failed and its error number.
struct LineFault {
  LineStep step = LineStep::kNone;
  int error = 0;
};

struct LineStepReport {
  RunResult result;     // the run's result when this step fails
  const char* message;  // printf format with the error number; nullptr: silent
};

// The open step's message also names the port: "%s" before the number.
const LineStepReport& reportFor(LineStep step);
