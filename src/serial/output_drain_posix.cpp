// Output draining by polling the driver's queue count (TIOCOUTQ), as tcdrain()
// could wait for ever on a line whose flow control holds the output.
#include "serial/output_drain.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <thread>

namespace serial_detail {

void drainOutput(int fd, std::chrono::milliseconds stall, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastProgress = start;
  int last = -1;
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    const auto now = Clock::now();
    if (last < 0 || queued < last) {
      last = queued;
      lastProgress = now;
    } else if (now - lastProgress >= stall) {
      break;
    }
    if (now - start >= limit) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  (void)tcflush(fd, TCOFLUSH);
}

}  // namespace serial_detail
