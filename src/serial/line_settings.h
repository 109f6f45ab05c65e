// The line settings a port is opened with, as the command line gave them.
#pragma once

#include <cstdint>

// The parity and stop-bit values are the platform's codes (a DCB's Parity and
// StopBits), which the debug line shows as numbers.
enum class Parity : uint8_t { kNone = 0, kOdd = 1, kEven = 2 };
enum class StopBits : uint8_t { kOne = 0, kTwo = 2 };
// What DTR and RTS do for the whole run.
enum class ModemLines { kLow, kHigh, kHandshake };

struct LineSettings {
  int32_t baudRate = 9600;
  Parity parity = Parity::kNone;
  StopBits stopBits = StopBits::kOne;
  ModemLines modemLines = ModemLines::kHigh;
  // The worker is woken by any byte arriving, not only by a line feed (a
  // board's prompt has none after it).
  bool readByArrival = false;
};
