// The serial port and the platform operations on it. One implementation file
// per platform sits behind this header (serial_line_posix.cpp,
// serial_line_win32.cpp); a port on another machine is a NetworkLine
// (network_line.h) that both hand every verb to.
//
// Threads: the capture worker calls waitForLineEvent(), queueCount(), read()
// and status(); the supervisor calls write(), unsent(), awaitSent() and
// requestStop() at the same time. Everything else runs on the main thread before the worker starts
// or after it has been stopped and joined.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "serial/line_settings.h"

class NetworkLine;

class SerialLine {
 public:
  // Bytes the line's own input queue holds at most. A read of this many bytes
  // always empties the queue, so no line feed is ever left behind in it.
  static constexpr size_t kQueueCapacity = 16383;
  // What waitForLineEvent() returns when requestStop() woke it.
  static constexpr int kStopped = -1;

  SerialLine();
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // Opens an existing device for this process alone. Returns 0, or the error
  // number: ENOTTY (25) when it is no terminal, EBUSY (16) when another
  // process holds the port (flock, exclusive mode, a live UUCP lock) or it is
  // this process's controlling terminal; on Windows ERROR_ACCESS_DENIED (5)
  // when another process holds the port.
  int open(const std::string& devicePath);
  bool isOpen() const;

  // Instead of open() and the settings: connects to a network port
  // (rfc2217:// or tcp://) and, for RFC 2217, applies `settings` through the
  // server. 0 or an error number; *settingsRefused tells a refusal of the
  // settings (error 22) from a failed connection (the system's error, or 16
  // when the server closed it first). Answers are traced on `trace`.
  int openNetwork(const std::string& argument, const LineSettings& settings, bool* settingsRefused,
                  std::FILE* trace);

  // Discards whatever both directions hold. 0 or an error number.
  int purge();

  // Raw 8-bit line at the exact rate, parity and stop bits, DTR/RTS as the
  // flow control says. 0 or the driver's error number; EINVAL also when the
  // rate read back shows that the driver kept another one.
  int applySettings(const LineSettings& settings);

  // Steps of the opening that only some platforms have; elsewhere they do
  // nothing and return 0. In this order, after applySettings(): set the read
  // time-outs the reading mode needs, arm the line-feed event, create the
  // write and the read request. Each returns 0 or an error number.
  int setReadTimeouts();
  int armLineEvent();
  int createWriteRequest();
  int createReadRequest();

  // Blocks until a line feed has entered the input queue since the previous
  // wait returned (several give one wake-up), or the queue is full. Returns 0,
  // kStopped after requestStop(), or the error number of a line that failed
  // (hang-up, I/O error). Meanwhile it sends waiting text as the line takes it.
  int waitForLineEvent();

  // Takes in what the device has delivered so far and returns how many bytes
  // the queue holds. 0 or an error number.
  int queueCount(size_t* count);

  // Takes up to `max` bytes from the queue; never blocks.
  size_t read(uint8_t* buffer, size_t max);

  // The line's error state: 0 while the port is usable, else an error number.
  int status() const;

  // Hands text to the line, after whatever earlier text is still waiting.
  // Never waits and never cuts: what the driver cannot take now goes out as
  // the line takes it. Text still waiting when the line closes, or after the
  // line failed, is abandoned. The result is not reported.
  void write(const char* text, size_t length);

  // Bytes handed to write() that the driver has not taken yet.
  size_t unsent() const;

  // Waits up to `limit` for the driver to take more of the waiting text.
  // Returns unsent().
  size_t awaitSent(std::chrono::milliseconds limit);

  // Applies a line signal code 1..9 (SETXOFF .. CLRBREAK). 0 or an error number.
  int applySignal(int code);

  // Wakes a waiting worker; it returns kStopped from now on. Thread-safe.
  void requestStop();

  // Puts back the settings the line had at open() and lets it go.
  void close();

 private:
  struct Impl;
  Impl* impl_;
  std::unique_ptr<NetworkLine> network_;
};
