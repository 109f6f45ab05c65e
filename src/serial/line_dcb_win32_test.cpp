#include "serial/line_dcb_win32.h"

#include <gtest/gtest.h>

namespace {

struct DcbCase {
  const char* name;
  LineSettings settings;
  DWORD dtr;
  DWORD rts;
  WORD xonLimit;   // bytes in the input queue below which the sender may go on
  WORD xoffLimit;  // bytes free in it below which the sender is stopped
};

TEST(LineControlBlock, FollowsTheSettingsAndFixesEverythingElse) {
  const DcbCase cases[] = {
      {"defaults", {9600}, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0, 0},
      {"lines low",
       {115200, Parity::kEven, StopBits::kTwo, ModemLines::kLow},
       DTR_CONTROL_DISABLE,
       RTS_CONTROL_DISABLE,
       0,
       0},
      // Handshake leaves room for the bytes in flight when RTS drops.
      {"handshake",
       {300, Parity::kOdd, StopBits::kOne, ModemLines::kHandshake},
       DTR_CONTROL_HANDSHAKE,
       RTS_CONTROL_HANDSHAKE,
       7680,
       1920},
      {"lines high",
       {31250, Parity::kNone, StopBits::kTwo, ModemLines::kHigh},
       DTR_CONTROL_ENABLE,
       RTS_CONTROL_ENABLE,
       0,
       0},
  };
  for (const DcbCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DCB dcb = lineControlBlock(c.settings, handshakeLimitsFor(kDriverInputQueue));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.settings.baudRate));
    EXPECT_EQ(dcb.Parity, static_cast<BYTE>(c.settings.parity));
    EXPECT_EQ(dcb.StopBits, static_cast<BYTE>(c.settings.stopBits));
    EXPECT_EQ(dcb.fDtrControl, c.dtr);
    EXPECT_EQ(dcb.fRtsControl, c.rts);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fParity | dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fDsrSensitivity | dcb.fOutX |
                  dcb.fInX | dcb.fErrorChar | dcb.fNull | dcb.fAbortOnError,
              0u);
    EXPECT_EQ(dcb.XonLim, c.xonLimit);
    EXPECT_EQ(dcb.XoffLim, c.xoffLimit);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0x0A);
  }
}

// Half and an eighth of the driver's queue, never beyond what a DCB holds.
TEST(LineControlBlock, HandshakeLimitsFollowTheDriversQueue) {
  struct {
    DWORD queue;
    WORD xon;
    WORD xoff;
  } const cases[] = {{4096, 2048, 512}, {0, 0, 0}, {1u << 20, 0xFFFF, 0xFFFF}};
  for (const auto& c : cases) {
    const HandshakeLimits limits = handshakeLimitsFor(c.queue);
    EXPECT_EQ(limits.xon, c.xon) << c.queue;
    EXPECT_EQ(limits.xoff, c.xoff) << c.queue;
  }
}

}  // namespace
