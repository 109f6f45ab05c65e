// Line errors counted by the port's driver during a run: bytes lost to an
// overrun of the UART or of the driver's buffer, framing and parity errors,
// and breaks received.
#pragma once

#include <cstdint>

struct LineErrors {
  int64_t overrun = 0;        // the UART's receive register was overwritten
  int64_t bufferOverrun = 0;  // the driver's input buffer was full
  int64_t framing = 0;
  int64_t parity = 0;
  int64_t breaks = 0;

  // Whether the driver dropped received bytes.
  bool lostData() const { return overrun > 0 || bufferOverrun > 0; }
  friend bool operator==(const LineErrors&, const LineErrors&) = default;
};
