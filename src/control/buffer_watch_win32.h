// Tells when a stream's buffer takes its first character after a flush, so
// that a thread can hand the text on at once without waking every few
// milliseconds to look. The buffer's first page is a guard page: the first
// write into it raises a one-time exception, which sets an event and lets the
// write go on. After a flush the C library writes from the buffer's start
// again, into that page.
#pragma once

#include <windows.h>

#include <cstddef>

class BufferWatch {
 public:
  // A watched buffer of `size` bytes (at least one page), armed.
  explicit BufferWatch(size_t size);
  ~BufferWatch();
  BufferWatch(const BufferWatch&) = delete;
  BufferWatch& operator=(const BufferWatch&) = delete;

  // Null if the memory could not be had.
  char* buffer() const { return buffer_; }
  size_t size() const { return size_; }

  // Set, and reset by a wait, when the first page was written to.
  HANDLE written() const { return written_; }

  // Watches the first page again. Call while the stream is locked and its
  // buffer empty, so that no write can slip in unseen.
  void rearm();

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  size_t page_ = 0;
  HANDLE written_ = nullptr;
};
