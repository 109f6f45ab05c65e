// Raw line configuration through the Linux termios2 interface, which takes any
// rate (BOTHER) where <termios.h> knows only the Bnnn constants. The kernel's
// <asm/termbits.h> cannot share a translation unit with <termios.h>, so this
// header exposes plain values only.
#pragma once

#include <cstdint>

#include "serial/line_settings.h"

namespace serial_detail {

struct RawLineMode {
  int32_t rate = 9600;
  Parity parity = Parity::kNone;
  StopBits stopBits = StopBits::kOne;
  bool hardwareHandshake = false;
};

// Raw 8-bit line, no flow control but the optional RTS/CTS handshake, reads
// that never wait (VMIN 0, VTIME 0). 0 or the driver's error number; EINVAL
// for a rate <= 0 (0 would hang up the line) or a parity or stop-bit value
// that is none of the enums' own.
int setRawLine(int fd, const RawLineMode& mode);

// The rates the driver holds now. 0 or an error number.
int getLineRates(int fd, uint32_t* inputRate, uint32_t* outputRate);

// Reads the rates back after setRawLine(): 0 when the driver took `requested`,
// EINVAL when it kept another rate (see rateTaken()), or the error number of
// the read-back.
int confirmLineRate(int fd, int32_t requested);

// Everything the driver holds for the line (flags, control characters, exact
// rates), as opaque bytes, so that it can be put back as it was found.
struct SavedLine {
  alignas(8) unsigned char bytes[64];
};

// 0, or the error number: ENOTTY for anything that is not a terminal.
int saveLine(int fd, SavedLine* saved);
// Puts the saved settings back at once. 0 or an error number.
int restoreLine(int fd, const SavedLine& saved);

}  // namespace serial_detail
