#include "pty_device.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "testing/pty_pair.h"

PtyDevice::PtyDevice()
    : pair_(std::make_unique<PtyPair>(PtyPair::SlaveHandle{.raw = true, .nonBlocking = false})) {
  if (!pair_->ok()) throw std::runtime_error(pair_->error());
}

PtyDevice::~PtyDevice() = default;

const std::string& PtyDevice::slavePath() const {
  return pair_->slavePath();
}

int PtyDevice::slaveFd() const {
  return pair_->slaveFd();
}

bool PtyDevice::send(std::string_view bytes, std::chrono::milliseconds timeout) {
  return pair_->send(bytes, Clock::now() + timeout, &cancelled_);
}

std::string PtyDevice::receive(size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string got;
  while (got.size() < count) {
    char buffer[256];
    ssize_t n = pair_->readSome(buffer, std::min(sizeof buffer, count - got.size()), deadline);
    if (n <= 0) break;
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
  for (;;) {
    char buffer[256];
    ssize_t n = pair_->readSome(buffer, sizeof buffer, deadline);
    if (n <= 0) break;
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) arrivals.push_back({buffer[i], now});
  }
  return arrivals;
}

int PtyDevice::unreadBytes() const {
  return pair_->unreadBytes();
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
  pair_->closeMaster();
  pair_->closeSlave();
}
