// Line errors from the Linux driver's interrupt counters.
#include "serial/line_errors_linux.h"

#include <sys/ioctl.h>

#include <cstring>

namespace {

int64_t difference(int before, int after) {
  return static_cast<uint32_t>(static_cast<uint32_t>(after) - static_cast<uint32_t>(before));
}

}  // namespace

bool readDriverTotals(int fd, serial_icounter_struct* totals) {
  std::memset(totals, 0, sizeof *totals);
  return ::ioctl(fd, TIOCGICOUNT, totals) == 0;
}

LineErrors lineErrorsBetween(const serial_icounter_struct& before,
                             const serial_icounter_struct& after) {
  LineErrors e;
  e.overrun = difference(before.overrun, after.overrun);
  e.bufferOverrun = difference(before.buf_overrun, after.buf_overrun);
  e.framing = difference(before.frame, after.frame);
  e.parity = difference(before.parity, after.parity);
  e.breaks = difference(before.brk, after.brk);
  return e;
}
