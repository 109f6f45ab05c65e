// The line settings a port is opened with, as the command line gave them.
#pragma once

#include <cstdint>

struct LineSettings {
  int32_t baudRate = 9600;
  uint8_t parityCode = 0;   // 0 none, 1 odd, 2 even
  uint8_t stopBitCode = 0;  // 0 one stop bit, 2 two stop bits
  int32_t flowControl = 1;  // 0 DTR/RTS low, 2 hardware handshake, other: DTR/RTS high
  // The worker is woken by any byte arriving, not only by a line feed (a
  // board's prompt has none after it).
  bool readByArrival = false;
};
