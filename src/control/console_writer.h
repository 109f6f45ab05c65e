// The console, decoupled from the capture. Everything the program prints goes
// into a bounded buffer that a thread of its own writes out, so a console
// that stops taking text (a pipe nobody reads, a terminal held by flow
// control, a console window in selection mode) never holds up the capture,
// the time-out or an interruption. When the buffer is full, console text is
// dropped; captured bytes never are. A console that is gone (a reader that
// quit) is simply not written to any more.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

// Where console text finally goes.
struct ConsoleSink {
  // Writes all of the text, blocking as long as the console takes it; false
  // once the console is gone for good.
  std::function<bool(const char*, size_t)> write;
  // A terminal or console window: every print is handed on at once.
  bool interactive = false;
};

// The process's standard output as a sink.
ConsoleSink standardOutputSink();

class ConsoleWriter {
 public:
  static constexpr size_t kCapacity = size_t{1} << 20;

  explicit ConsoleWriter(ConsoleSink sink);
  // Finishes with no time for the console, if finish() was not called.
  ~ConsoleWriter();
  ConsoleWriter(const ConsoleWriter&) = delete;
  ConsoleWriter& operator=(const ConsoleWriter&) = delete;

  // The stream to print to, from any thread, until finish().
  std::FILE* stream() const { return stream_; }

  // Closes the stream and gives the console up to `limit` to take what is
  // buffered, then ends the writer's thread. A console that takes nothing in
  // that time is left behind: its thread is abandoned, to end with the
  // process.
  void finish(std::chrono::milliseconds limit);

  // Text dropped so far because the buffer was full.
  size_t dropped() const;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  std::FILE* stream_ = nullptr;
  bool ownsStream_ = false;
};

// Platform part: a stream whose output is handed, in order, to `put`.
// `interactive` makes it unbuffered. Returns nullptr if none can be made.
std::FILE* openCallbackStream(void* context, void (*put)(void*, const char*, size_t),
                              bool interactive);
// Closes such a stream; returns once all of its text has been handed to `put`.
void closeCallbackStream(std::FILE* stream);
