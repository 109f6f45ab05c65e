// The capture file: opened for appending, written through a buffer, every
// line feed stored as carriage return + line feed so a capture reads the same
// on every platform. A failure to write is reported once and remembered.
//
// A file that stops taking data (a FIFO or a terminal that nobody reads) is
// waited for while the run goes on, but once the run is ending it is given up
// after about a second without progress, so that nothing it does can keep
// the process from ending.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class CaptureFile {
 public:
  static constexpr size_t kBufferSize = 64 * 1024;

  // `console` receives the one write-error message.
  explicit CaptureFile(std::FILE* console) : console_(console), buffer_(new uint8_t[kBufferSize]) {}
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  // Opens `path` for appending, creating it if missing. 0 or an error number.
  int open(const char* path);
  bool isOpen() const { return file_ != kNoFile; }

  // Buffers one byte; a line feed becomes carriage return + line feed.
  void put(uint8_t byte) {
    if (kBufferSize - used_ < 2) drain();
    if (byte == '\n') buffer_[used_++] = '\r';
    buffer_[used_++] = byte;
  }

  // For a writer that fills the buffer itself (the filter's block path, which
  // scans and copies in one pass): space() drains the buffer first if fewer
  // than `atLeast` bytes are free, and gives where to write, up to
  // spaceEnd(); commit() keeps what was written up to `end`. Line feeds are
  // the writer's to expand. `atLeast` is at most kBufferSize.
  uint8_t* space(size_t atLeast) {
    if (kBufferSize - used_ < atLeast) drain();
    return buffer_.get() + used_;
  }
  const uint8_t* spaceEnd() const { return buffer_.get() + kBufferSize; }
  void commit(const uint8_t* end) { used_ = static_cast<size_t>(end - buffer_.get()); }

  // Buffers bytes as they are, line feeds too (the raw copy).
  void putAsIs(const uint8_t* data, size_t length);

  // Hands what is buffered to the operating system (written, not synced), so
  // that the file shows it at once and a crash of this process loses none.
  void writeOut() { drain(); }
  // Writes the buffer out to the file and hands it to the disk.
  void flush();
  // Flushes and closes; idempotent.
  void close();

  // The first error number met (0 if none): the run must not end as a success.
  int error() const { return error_; }

  // What has reached the file since it was opened: bytes, and line feeds
  // among them.
  int64_t bytesWritten() const { return bytesWritten_; }
  int64_t lineFeedsWritten() const { return lineFeedsWritten_; }

  // The run is ending: from now on a file that takes nothing for about a
  // second is given up (reported as a write error), what it has not taken
  // is dropped. Any thread, also while another one writes.
  void giveUpWhenStalled();

 private:
  void drain();
  bool awaitRoom(std::chrono::steady_clock::time_point lastProgress);
  void fail(int errorNumber);

  std::FILE* console_;
  static constexpr intptr_t kNoFile = -1;

  std::string path_;
  intptr_t file_ = kNoFile;  // the system's file, see capture_file_os.h
  int error_ = 0;
  int64_t bytesWritten_ = 0;
  int64_t lineFeedsWritten_ = 0;
  size_t used_ = 0;
  bool abandoned_ = false;               // given up as stalled: nothing more is written
  std::atomic<int64_t> endingSince_{0};  // steady-clock ms when the run began to end
  // On the heap: a thread's stack may be small (ulimit -s).
  std::unique_ptr<uint8_t[]> buffer_;
};
