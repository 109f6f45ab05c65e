// A pseudo-terminal standing in for a serial device in unit tests: the master
// side plays the device, path() is what the line under test opens.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <thread>

#include "testing/pty_pair.h"

class TestPty {
 public:
  // A handle of our own on the line side, opened before the line under test
  // takes the device for itself: it shows how much input the line has not
  // taken in yet, and does what the line does for comparison.
  TestPty() : pair_(PtyPair::SlaveHandle{.raw = false, .nonBlocking = true}) {}

  bool ok() const { return pair_.ok(); }
  const std::string& path() const { return pair_.slavePath(); }
  int master() const { return pair_.masterFd(); }
  int probe() const { return pair_.slaveFd(); }

  // The device sends `text`; false when the line side has not taken it all
  // within a minute.
  bool send(std::string_view text) {
    return pair_.send(text, PtyPair::Clock::now() + std::chrono::seconds(60));
  }

  // Waits until the line side holds exactly `n` bytes of input that no one has
  // read, for ten seconds at most.
  bool pendingInputIs(int n) const {
    const auto deadline = PtyPair::Clock::now() + std::chrono::seconds(10);
    for (;;) {
      int pending = pair_.unreadBytes();
      if (pending < 0) return false;
      if (pending == n) return true;
      if (PtyPair::Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // What the device receives: reads until `expected` bytes have come or
  // nothing has come for `quiet`.
  std::string receive(size_t expected,
                      std::chrono::milliseconds quiet = std::chrono::milliseconds(5000)) {
    std::string got;
    while (got.size() < expected) {
      char buffer[4096];
      ssize_t n = pair_.readSome(buffer, sizeof buffer, PtyPair::Clock::now() + quiet);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  // The device goes away: the line side is hung up. The probe stays open.
  void hangUp() { pair_.closeMaster(); }

 private:
  PtyPair pair_;
};
