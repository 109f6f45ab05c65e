// The line a capture reads: the verbs every kind of port implements, by
// role. A port on this machine is a DeviceLine (device_line.h, one file per
// platform); a new kind of port is a new class behind this interface.
//
// Threads: the capture worker calls awaitLine(), collect(), take() and
// check(); the supervisor calls transmit(), unsent(), awaitSent() and
// stopWaiting() at the same time. Everything else runs on the main thread
// before the worker starts or after it has been stopped and joined.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "serial/input_queue.h"
#include "serial/line_errors.h"
#include "serial/line_faults.h"
#include "serial/line_settings.h"
#include "serial/line_signals.h"

class SerialLine {
 public:
  // What awaitLine() returns once stopWaiting() was called.
  static constexpr int kWaitStopped = -1;

  virtual ~SerialLine() = default;

  // Open and configure, in this order. open() takes the port for this
  // process alone: 0 or the error number (the kind of port documents its
  // own). purge() discards whatever both directions hold: 0 or an error
  // number. configure() applies the line settings and whatever else the
  // kind of port needs before a capture; it names the step that failed.
  virtual int open(const std::string& device) = 0;
  virtual bool isOpen() const = 0;
  virtual int purge() = 0;
  virtual LineFault configure(const LineSettings& settings) = 0;

  // Wait for a line: blocks until a line feed has come in since the previous
  // wait returned (several give one wake-up), or the line's queue is full;
  // read by arrival (LineSettings::readByArrival), any byte counts as a line
  // feed, and one left queued wakes it too.
  // Returns 0, kWaitStopped after stopWaiting(), or the error number of a
  // line that failed (hang-up, I/O error). Meanwhile waiting text is sent as
  // the line takes it.
  virtual int awaitLine() = 0;

  // Take what is queued. collect() first takes in what the port has
  // delivered so far, then says how many bytes wait: 0 or an error number.
  // take() hands out up to `max` of them and never blocks. check() is the
  // line's error state: 0 while it is usable, else an error number.
  virtual int collect(size_t* queued) = 0;
  virtual size_t take(uint8_t* buffer, size_t max) = 0;
  virtual int check() const = 0;
  // Whether awaitLine() would return at once, a line (read by arrival, any
  // byte) having come in already: the worker then need not hand its file
  // over before waiting. False where the kind of port cannot tell.
  virtual bool lineWaiting() const { return false; }

  // Transmit: hands text to the line after whatever earlier text still waits.
  // Never waits and never cuts: what cannot go out now follows as the line
  // takes it. Text given while kTransmitBacklog or more still waits is
  // skipped whole, not queued: a device that takes nothing must not make the
  // queue grow for as long as the run lasts. Text still waiting when the line
  // closes or fails is abandoned; the result is not reported. unsent() is
  // what has not gone out yet; awaitSent() waits up to `limit` for more of it
  // to go and returns unsent().
  static constexpr size_t kTransmitBacklog = size_t{1} << 20;
  void transmit(const char* text, size_t length) {
    if (unsent() < kTransmitBacklog) queueTransmission(text, length);
  }
  virtual size_t unsent() const = 0;
  virtual size_t awaitSent(std::chrono::milliseconds limit) = 0;

  // How this port is read where that differs from the usual, for the user to
  // know at debug levels (a driver that cannot say how much it holds);
  // empty otherwise. Valid from open() on.
  virtual std::string readingNote() const { return {}; }

  // The line errors the driver counted since open(); none where the port
  // keeps no counts (a pseudo-terminal, a network port). The worker's, or
  // the main thread's once the worker has stopped.
  virtual std::optional<LineErrors> lineErrors() { return std::nullopt; }

  // Applies a line signal. 0 or an error number.
  virtual int applySignal(LineSignal signal) = 0;

  // Wakes a waiting worker; awaitLine() returns kWaitStopped from now on.
  // Thread-safe.
  virtual void stopWaiting() = 0;

  // Lets the port go; the kind of port says what it leaves behind.
  virtual void close() = 0;
  // As close(), at an end the user or the silence asked for (an interruption,
  // the time-out): output still waiting gets about a second in all, not as
  // long as it keeps moving.
  virtual void closeSoon() { close(); }

 protected:
  // What every awaitLine() answers before it waits, in this order:
  // kWaitStopped once stopWaiting() was called, `closedError` when the line
  // is not open, 0 when a line has come in since the previous wait, and the
  // error of a line that failed once no line taken in before the failure is
  // left. Nothing when the line must wait.
  static std::optional<int> answerWithoutWaiting(bool stopRequested, bool open, int closedError,
                                                 InputQueue& queue, int lineError) {
    if (stopRequested) return kWaitStopped;
    if (!open) return closedError;
    if (queue.takeLineEvent()) return 0;
    if (lineError != 0) return lineError;
    return std::nullopt;
  }

  // transmit() once the backlog allows it.
  virtual void queueTransmission(const char* text, size_t length) = 0;
};
