// Output draining by polling the driver's queue count (TIOCOUTQ) and, where
// the driver tells, the UART's transmitter (TIOCSERGETLSR): tcdrain() could
// wait for ever on a line whose flow control holds the output.
#include <sys/ioctl.h>
#include <termios.h>

#include <thread>

#include "serial/output_drain_linux.h"

namespace serial_detail {

namespace {

using Clock = DrainWatch::Clock;
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
  DrainWatch watch(Clock::now(), stall, limit);
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) return;
    // The UART's FIFO is asked about only once the queue is empty.
    switch (watch.look(queued, queued <= 0 && transmitterEmpty(fd), Clock::now())) {
      case DrainWatch::Step::kDone:
        return;
      case DrainWatch::Step::kDiscard:
        (void)tcflush(fd, TCOFLUSH);
        return;
      case DrainWatch::Step::kLookAgain:
        std::this_thread::sleep_for(kPollInterval);
        break;
    }
  }
}

}  // namespace serial_detail
