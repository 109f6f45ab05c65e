// The run's result as a process exit status. Where statuses hold 8 bits
// (POSIX), the two results that do not fit get statuses of their own; Windows
// keeps the results as they are.
#pragma once

constexpr int kResultUsage = 256;     // usage text, or markers given in the wrong order
constexpr int kResultFileError = -1;  // the capture file could not be opened or written

int exitStatusFor(int result);
