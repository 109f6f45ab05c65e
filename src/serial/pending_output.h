// Text a line has still to send. One thread queues it; whichever thread finds
// the line ready sends it (the supervisor at once, the worker while it
// waits). What went out is dropped from the front as it goes, so the text
// kept is what still waits, however long the line stays busy: dropped at the
// latest once it is as much as what waits, so that a line taking a little at
// a time does not move everything that waits for each little.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class PendingOutput {
 public:
  // How the line sends: takes up to `length` bytes and says how many went
  // (0: none now), or -1 when the line failed; everything waiting is then
  // dropped, as none of it can go out any more.
  using Send = std::function<long(const uint8_t* data, size_t length)>;

  void append(const char* data, size_t length);
  // Sends what the line takes now. Returns what still waits.
  size_t sendSome(const Send& send);
  void drop();

  // What waits, for either thread without the lock.
  size_t unsent() const { return unsent_.load(); }
  // The bytes kept: never more than twice what waits.
  size_t held() const;

 private:
  mutable std::mutex mutex_;
  // Bytes [sent_, size) wait; those before went out.
  std::string bytes_;
  size_t sent_ = 0;
  std::atomic<size_t> unsent_{0};
};
