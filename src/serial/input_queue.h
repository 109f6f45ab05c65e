// The serial line's own input queue, the same on every platform. Bytes taken
// in from the driver wait here for the capture worker, and a line feed
// entering the queue is the line event that wakes the worker: sercap relies
// on no driver's event character. A full queue counts as a line event too, so
// that no byte is ever dropped here for want of room. Read by arrival, every
// byte counts as a line feed does, and a byte still queued is a line event
// too: a prompt has no line feed after it.
// Used by the worker thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class InputQueue {
 public:
  // A read of this many bytes always empties the queue (the worker reads up
  // to 16,383 at once), so no line feed is ever left behind in it.
  static constexpr size_t kCapacity = 16383;

  size_t size() const { return count_; }
  bool full() const { return count_ == kCapacity; }
  void clear() {
    head_ = 0;
    count_ = 0;
    lineFeedPending_ = false;
  }

  // Whether any byte is a line event, not only a line feed. Kept by clear().
  void readByArrival(bool on) { byArrival_ = on; }

  // Whether a line feed (read by arrival, any byte) has entered since the
  // last takeLineEvent(), or the queue is full; read by arrival, also
  // whether any byte waits.
  bool lineEventPending() const {
    return lineFeedPending_ || full() || (byArrival_ && count_ != 0);
  }
  // Answers lineEventPending() and starts looking for the next line feed.
  bool takeLineEvent() {
    if (!lineEventPending()) return false;
    lineFeedPending_ = false;
    return true;
  }

  // Room for bytes read in place: where they go, and how many fit there
  // (0 when the queue is full). commit() keeps the first `n` of them.
  uint8_t* room(size_t* length) {
    if (head_ + count_ == kCapacity) compact();
    *length = kCapacity - head_ - count_;
    return bytes_ + head_ + count_;
  }
  void commit(size_t n) {
    if (byArrival_ ? n != 0 : std::memchr(bytes_ + head_ + count_, '\n', n) != nullptr) {
      lineFeedPending_ = true;
    }
    count_ += n;
  }

  // Appends bytes read elsewhere; they must fit (`n` at most kCapacity - size()).
  void append(const uint8_t* data, size_t n) {
    if (head_ + count_ + n > kCapacity) compact();
    std::memcpy(bytes_ + head_ + count_, data, n);
    commit(n);
  }

  // Takes up to `max` of the oldest bytes.
  size_t take(uint8_t* buffer, size_t max) {
    size_t n = max < count_ ? max : count_;
    std::memcpy(buffer, bytes_ + head_, n);
    head_ += n;
    count_ -= n;
    if (count_ == 0) head_ = 0;
    return n;
  }

 private:
  void compact() {
    std::memmove(bytes_, bytes_ + head_, count_);
    head_ = 0;
  }

  // Bytes [head_, head_ + count_) of bytes_.
  uint8_t bytes_[kCapacity];
  size_t head_ = 0;
  size_t count_ = 0;
  bool lineFeedPending_ = false;
  bool byArrival_ = false;
};
