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

DCB lineControlBlock(const LineSettings& settings);
