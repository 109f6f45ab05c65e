// The line stamper: puts the time a line's first byte was read before each
// line written to the capture file (--timestamps).
#pragma once

#include <cstdint>

enum class TimestampMode : uint8_t {
  kOff,
  kIso,      // UTC wall-clock time: "2026-12-10T14:05:42.123Z "
  kElapsed,  // seconds since the port was first opened: "12.345 "
};
