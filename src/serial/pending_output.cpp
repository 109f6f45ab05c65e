// The pending output of pending_output.h.
#include "serial/pending_output.h"

void PendingOutput::append(const char* data, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_.append(data, length);
  unsent_.store(bytes_.size() - sent_);
}

size_t PendingOutput::sendSome(const Send& send) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* data = reinterpret_cast<const uint8_t*>(bytes_.data());
  while (sent_ < bytes_.size()) {
    const long n = send(data + sent_, bytes_.size() - sent_);
    if (n < 0) {
      sent_ = bytes_.size();  // the line failed: nothing more goes out
      break;
    }
    if (n == 0) break;
    sent_ += static_cast<size_t>(n);
  }
  const size_t left = bytes_.size() - sent_;
  if (sent_ >= left) {
    bytes_.erase(0, sent_);
    sent_ = 0;
  }
  unsent_.store(left);
  return left;
}

void PendingOutput::drop() {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_.clear();
  sent_ = 0;
  unsent_.store(0);
}

size_t PendingOutput::held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_.size();
}
