// A pseudo-terminal standing in for a serial device in tests: the master side
// plays the device, the slave path is what the line under test opens.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

class TestPty {
 public:
  TestPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    path_ = name;
    // A handle of our own on the line side, opened before the line under test
    // takes the device for itself: it shows how much input the line has not
    // taken in yet, and does what the line does for comparison.
    probe_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~TestPty() {
    hangUp();
    if (probe_ >= 0) close(probe_);
  }
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  bool ok() const { return master_ >= 0 && probe_ >= 0; }
  const std::string& path() const { return path_; }
  int master() const { return master_; }
  int probe() const { return probe_; }

  // The device sends `text`.
  bool send(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = write(master_, text.data(), text.size());
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

  // Waits until the line side holds exactly `n` bytes of input that no one has
  // read, for ten seconds at most.
  bool pendingInputIs(int n) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      int pending = -1;
      if (ioctl(probe_, FIONREAD, &pending) != 0) return false;
      if (pending == n) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // What the device receives: reads until `expected` bytes have come or
  // nothing has come for `quiet`.
  std::string receive(size_t expected,
                      std::chrono::milliseconds quiet = std::chrono::milliseconds(5000)) {
    std::string got;
    while (got.size() < expected) {
      struct pollfd p = {master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(quiet.count())) != 1) break;
      char buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  // The device goes away: the line side is hung up.
  void hangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int probe_ = -1;
  std::string path_;
};
