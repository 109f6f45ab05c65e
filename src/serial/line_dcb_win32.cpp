// The DCB of a capture line: binary, 8 data bits, parity and stop bits as
// asked but no parity checking on input, no software flow control and no
// CTS/DSR hold on output, DTR and RTS off, on or in handshake mode as the
// flow control says, and the line feed as the event character.
//
// With hardware handshake the driver must lower RTS while the input queue
// still has room for the bytes already on their way (a UART's FIFO, a USB
// packet); with limits of 0 it would do so only once the queue is full, and
// the bytes in flight would overrun it unseen. The limits are those drivers
// choose themselves: stop with an eighth of the queue free, go on at half,
// of the queue the driver has, not the one asked for.
#include "serial/line_dcb_win32.h"

#include <algorithm>
#include <cstring>

static_assert(static_cast<BYTE>(Parity::kNone) == NOPARITY &&
              static_cast<BYTE>(Parity::kOdd) == ODDPARITY &&
              static_cast<BYTE>(Parity::kEven) == EVENPARITY);
static_assert(static_cast<BYTE>(StopBits::kOne) == ONESTOPBIT &&
              static_cast<BYTE>(StopBits::kTwo) == TWOSTOPBITS);

HandshakeLimits handshakeLimitsFor(DWORD bytes) {
  auto word = [](DWORD n) { return static_cast<WORD>(std::min<DWORD>(n, 0xFFFF)); };
  return {word(bytes / 2), word(bytes / 8)};
}

DCB lineControlBlock(const LineSettings& settings, HandshakeLimits limits) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<DWORD>(settings.baudRate);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  switch (settings.modemLines) {
    case ModemLines::kLow:
      dcb.fDtrControl = DTR_CONTROL_DISABLE;
      dcb.fRtsControl = RTS_CONTROL_DISABLE;
      break;
    case ModemLines::kHandshake:
      dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
      dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
      break;
    case ModemLines::kHigh:
      dcb.fDtrControl = DTR_CONTROL_ENABLE;
      dcb.fRtsControl = RTS_CONTROL_ENABLE;
      break;
  }
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 1;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fAbortOnError = 0;
  const bool handshake = settings.modemLines == ModemLines::kHandshake;
  dcb.XonLim = handshake ? limits.xon : 0;
  dcb.XoffLim = handshake ? limits.xoff : 0;
  dcb.ByteSize = 8;
  // The settings' codes are the DCB's own (asserted above).
  dcb.Parity = static_cast<BYTE>(settings.parity);
  dcb.StopBits = static_cast<BYTE>(settings.stopBits);
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0x0A;
  return dcb;
}
