// A pseudo-terminal pair for tests: the master side plays the serial device,
// the slave path is the port the code under test opens. The one place in the
// tests that opens a pair and reads and writes its device side; TestPty (unit
// tests) and PtyDevice (whole-program tests) build on it. The simulator keeps
// its own: a shipped tool does not depend on test helpers.
//
// Every wait ends at a deadline, so a line that stops reading or writing can
// fail a test but never hang it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

class PtyPair {
 public:
  using Clock = std::chrono::steady_clock;

  // How the test's own handle on the slave side is opened. It is opened
  // before the code under test takes the port, and keeps the line up (no
  // hang-up) whenever nobody else holds it.
  struct SlaveHandle {
    bool raw = false;          // no echo or translation before anyone sets the line
    bool nonBlocking = false;  // O_NONBLOCK on the test's own handle
  };

  explicit PtyPair(SlaveHandle slave) {
    if (!openMaster() || !openSlave(slave)) {
      closeMaster();
      closeSlave();
    }
  }
  ~PtyPair() {
    closeMaster();
    closeSlave();
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return masterFd_ >= 0 && slaveFd_ >= 0; }
  // Why the pair could not be had; empty when ok().
  const std::string& error() const { return error_; }
  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return masterFd_; }
  int slaveFd() const { return slaveFd_; }

  // The device sends `bytes`, waiting while the slave side is full. False when
  // not all were sent by `deadline`, the device side is closed or failed, or
  // `*cancelled` became true.
  bool send(std::string_view bytes, Clock::time_point deadline,
            const std::atomic<bool>* cancelled = nullptr) {
    while (!bytes.empty()) {
      if (masterFd_ < 0) return false;
      ssize_t n = ::write(masterFd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      if (Clock::now() >= deadline || (cancelled != nullptr && cancelled->load())) return false;
      pollfd p = {masterFd_, POLLOUT, 0};
      ::poll(&p, 1, std::min(millisLeft(deadline), 100));
    }
    return true;
  }

  // Reads what the device received: at most `size` bytes, waiting for the
  // first until `deadline`. The count read; 0 when nothing came in time, -1
  // when the device side is closed or failed.
  ssize_t readSome(char* buffer, size_t size, Clock::time_point deadline) {
    while (masterFd_ >= 0) {
      pollfd p = {masterFd_, POLLIN, 0};
      int ready = ::poll(&p, 1, millisLeft(deadline));
      if (ready < 0 && errno != EINTR) return -1;
      if (ready == 0) return 0;
      if (ready < 0) continue;
      ssize_t n = ::read(masterFd_, buffer, size);
      if (n > 0) return n;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return -1;
    }
    return -1;
  }

  // Bytes the device sent that nobody on the slave side has read yet; -1 when
  // that cannot be told.
  int unreadBytes() const {
    int count = 0;
    if (slaveFd_ < 0 || ::ioctl(slaveFd_, FIONREAD, &count) != 0) return -1;
    return count;
  }

  // The device goes away: the slave side is hung up.
  void closeMaster() { closeFd(&masterFd_); }
  void closeSlave() { closeFd(&slaveFd_); }

  static int millisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
  }

 private:
  bool openMaster() {
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd_ < 0) return fail("posix_openpt");
    if (::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0) return fail("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(masterFd_, name, sizeof name) != 0) return fail("ptsname_r");
    slavePath_ = name;
    // Every wait is a poll() with a deadline, never a blocking call.
    int flags = ::fcntl(masterFd_, F_GETFL);
    if (flags < 0 || ::fcntl(masterFd_, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
    return true;
  }

  bool openSlave(SlaveHandle how) {
    int flags = O_RDWR | O_NOCTTY | O_CLOEXEC | (how.nonBlocking ? O_NONBLOCK : 0);
    slaveFd_ = ::open(slavePath_.c_str(), flags);
    if (slaveFd_ < 0) return fail("open " + slavePath_);
    if (!how.raw) return true;
    termios raw;
    if (::tcgetattr(slaveFd_, &raw) != 0) return fail("tcgetattr " + slavePath_);
    ::cfmakeraw(&raw);
    if (::tcsetattr(slaveFd_, TCSANOW, &raw) != 0) return fail("tcsetattr " + slavePath_);
    return true;
  }

  bool fail(const std::string& what) {
    error_ = what + ": " + std::strerror(errno);
    return false;
  }

  static void closeFd(int* fd) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }

  int masterFd_ = -1;
  int slaveFd_ = -1;
  std::string slavePath_;
  std::string error_;
};
