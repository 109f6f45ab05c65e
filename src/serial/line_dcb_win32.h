// The line settings as the Windows serial driver takes them: a DCB filled
// from all zero, every field set on each opening.
#pragma once

#include <windows.h>

#include "serial/line_settings.h"

// The input queue asked of the driver (SetupComm): room for a second of
// input at 115,200 bit/s and more than any start text. A driver that keeps
// its own sizes is fine: the line's own queue holds what the worker has not
// read yet.
constexpr DWORD kDriverInputQueue = 15360;

// With hardware handshake: the bytes in the driver's input queue below which
// the sender may go on (XonLim), and the bytes free in it below which it is
// stopped (XoffLim). A driver refuses limits beyond the queue it has.
struct HandshakeLimits {
  WORD xon = 0;
  WORD xoff = 0;
};

// The limits for a driver input queue of `bytes`.
HandshakeLimits handshakeLimitsFor(DWORD bytes);

// `limits` are used with hardware handshake only; otherwise both are 0.
DCB lineControlBlock(const LineSettings& settings, HandshakeLimits limits);
