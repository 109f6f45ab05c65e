// Line errors from ClearCommError's flags.
#include "serial/line_errors_win32.h"

#include <windows.h>

void countCommErrors(uint32_t errorFlags, LineErrors& counts) {
  if (errorFlags & CE_OVERRUN) ++counts.overrun;
  if (errorFlags & CE_RXOVER) ++counts.bufferOverrun;
  if (errorFlags & CE_FRAME) ++counts.framing;
  if (errorFlags & CE_RXPARITY) ++counts.parity;
  if (errorFlags & CE_BREAK) ++counts.breaks;
}
