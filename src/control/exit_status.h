// The run's result as a process exit status. POSIX statuses hold 8 bits, so
// the two results that do not fit get statuses of their own.
#pragma once

constexpr int kResultUsage = 256;     // usage text, or markers given in the wrong order
constexpr int kResultFileError = -1;  // the capture file could not be opened or written

inline int exitStatusFor(int result) {
#ifdef _WIN32
  return result;
#else
  if (result == kResultUsage) return 4;
  if (result == kResultFileError) return 255;
  return result;
#endif
}

// A run ended by a signal exits as a shell reports a process the signal killed.
inline int exitStatusForSignal(int signalNumber) {
  return 128 + signalNumber;
}
