// Every result a run can end with, by name, each defined once. The process's
// exit status is made from it (control/exit_status.h). Most come from the
// steps of using the line (line_faults.h says which step gives which), and
// several steps share one, as the run's results always have. It lives in the
// lowest layer because every layer hands results on.
#pragma once

#include <cstdint>

enum RunResult : int32_t {
  kResultOk = 0,
  kResultOpenFailed = 1,       // the port could not be opened
  kResultPurgeFailed = 2,      // what the port held could not be discarded
  kResultFailText = 3,         // a --fail-on text was found
  kResultNoEndMark = 5,        // --expect-end, and the device marked no end
  kResultSettingsRefused = 8,  // the line settings were refused
  kResultTimeoutsFailed = 16,  // the read time-outs could not be read or set
  // The line failed during the run; also a write request or a capture worker
  // that could not be made: the capture cannot go on without them.
  kResultLineFailed = 32,
  // The line-feed event could not be armed; also the read request.
  kResultEventMaskFailed = 64,
  kResultUsage = 256,     // the usage text, or markers given in the wrong order
  kResultFileError = -1,  // the capture file could not be opened or written
};
