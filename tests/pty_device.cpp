#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

int millisLeft(PtyDevice::Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - PtyDevice::Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

void closeFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

PtyDevice::PtyDevice() {
  masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (masterFd_ < 0) throw std::runtime_error(std::string("posix_openpt: ") + strerror(errno));
  if (grantpt(masterFd_) != 0 || unlockpt(masterFd_) != 0) {
    closeFd(&masterFd_);
    throw std::runtime_error("grantpt/unlockpt failed");
  }
  char name[128];
  if (ptsname_r(masterFd_, name, sizeof name) != 0) {
    closeFd(&masterFd_);
    throw std::runtime_error("ptsname_r failed");
  }
  slavePath_ = name;
  // Non-blocking so that a sercap that stops reading can never hang a test:
  // every wait below is a poll() with a deadline.
  fcntl(masterFd_, F_SETFL, fcntl(masterFd_, F_GETFL) | O_NONBLOCK);

  slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slaveFd_ < 0) {
    closeFd(&masterFd_);
    throw std::runtime_error(std::string("open slave: ") + strerror(errno));
  }
  // Raw before sercap ever sees the line: nothing the device sends may be
  // echoed back or translated while sercap is still starting.
  termios raw;
  tcgetattr(slaveFd_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slaveFd_, TCSANOW, &raw);
}

PtyDevice::~PtyDevice() {
  hangUp();
}

bool PtyDevice::send(std::string_view bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t done = 0;
  while (done < bytes.size()) {
    if (masterFd_ < 0) return false;
    ssize_t n = ::write(masterFd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() >= deadline || cancelled_.load()) return false;
    pollfd p = {masterFd_, POLLOUT, 0};
    ::poll(&p, 1, std::min(millisLeft(deadline), 100));
  }
  return true;
}

std::string PtyDevice::receive(size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string got;
  while (got.size() < count && masterFd_ >= 0) {
    pollfd p = {masterFd_, POLLIN, 0};
    int ready = ::poll(&p, 1, millisLeft(deadline));
    if (ready <= 0) {
      if (ready < 0 && errno == EINTR) continue;
      break;
    }
    char buffer[256];
    ssize_t n = ::read(masterFd_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

std::string PtyDevice::receiveUntilQuiet(std::chrono::milliseconds quiet) {
  std::string got;
  for (;;) {
    std::string more = receive(4096, quiet);
    if (more.empty()) return got;
    got += more;
  }
}

std::vector<PtyDevice::Arrival> PtyDevice::receiveTimed(std::chrono::milliseconds duration) {
  const auto deadline = Clock::now() + duration;
  std::vector<Arrival> arrivals;
  while (masterFd_ >= 0) {
    int left = millisLeft(deadline);
    if (left == 0) break;
    pollfd p = {masterFd_, POLLIN, 0};
    if (::poll(&p, 1, left) <= 0) continue;
    char buffer[256];
    ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      break;
    }
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) arrivals.push_back({buffer[i], now});
  }
  return arrivals;
}

int PtyDevice::unreadBytes() const {
  int count = 0;
  if (slaveFd_ < 0 || ioctl(slaveFd_, FIONREAD, &count) != 0) return -1;
  return count;
}

bool PtyDevice::waitUntilTaken(std::chrono::milliseconds timeout) {
  // Bytes written to the master reach the slave's input queue through a
  // kernel work item, so an empty queue right after sending proves nothing.
  // Once bytes were seen queued, or after a generous while, it does.
  const auto settled = Clock::now() + std::chrono::milliseconds(500);
  while (Clock::now() < settled && unreadBytes() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto deadline = Clock::now() + timeout;
  while (unreadBytes() != 0) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void PtyDevice::hangUp() {
  closeFd(&masterFd_);
  closeFd(&slaveFd_);
}
