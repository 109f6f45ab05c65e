// Output draining by polling the driver's queue count (TIOCOUTQ) and, where
// the driver tells, the UART's transmitter (TIOCSERGETLSR): tcdrain() could
// wait for ever on a line whose flow control holds the output.
#include <sys/ioctl.h>
#include <termios.h>

#include <thread>

#include "serial/output_drain.h"

namespace serial_detail {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollInterval{10};

// The UART's own transmit FIFO is not in the queue count. A driver that
// cannot say (a pseudo-terminal, a USB adapter) counts as empty.
bool transmitterEmpty(int fd) {
  unsigned int status = 0;
  if (ioctl(fd, TIOCSERGETLSR, &status) != 0) return true;
  return (status & TIOCSER_TEMT) != 0;
}

}  // namespace

void drainOutput(int fd, std::chrono::milliseconds stall, std::chrono::milliseconds limit) {
  const auto start = Clock::now();
  auto lastProgress = start;
  int last = -1;
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) return;
    const auto now = Clock::now();
    if (queued <= 0) {
      // Nothing left but what the FIFO holds: a few bytes, gone within the
      // stall unless flow control holds them.
      if (transmitterEmpty(fd)) return;
      if (last != 0) {
        last = 0;
        lastProgress = now;
      } else if (now - lastProgress >= stall) {
        break;
      }
    } else if (last < 0 || queued < last) {
      last = queued;
      lastProgress = now;
    } else if (now - lastProgress >= stall) {
      break;
    }
    if (now - start >= limit) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  (void)tcflush(fd, TCOFLUSH);
}

}  // namespace serial_detail
