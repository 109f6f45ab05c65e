// A serial device of this machine as a SerialLine: a tty on Linux
// (device_line_linux.cpp), a COM port on Windows (device_line_win32.cpp).
// Both keep their own input queue (input_queue.h), so neither depends on a
// driver's event character.
#pragma once

#include "serial/serial_line.h"

class DeviceLine final : public SerialLine {
 public:
  DeviceLine();
  ~DeviceLine() override;
  DeviceLine(const DeviceLine&) = delete;
  DeviceLine& operator=(const DeviceLine&) = delete;

  // Returns 0 or the error number: ENOTTY (25) when it is no terminal, EBUSY
  // (16) when another process holds the port (flock, exclusive mode, a live
  // UUCP lock) or it is this process's controlling terminal; on Windows
  // ERROR_ACCESS_DENIED (5) when another process holds the port.
  int open(const std::string& devicePath) override;
  bool isOpen() const override;
  int purge() override;
  // Raw 8-bit line at the exact rate, parity and stop bits, DTR/RTS as the
  // flow control says; the settings step fails with the driver's error
  // number, or EINVAL when the rate read back shows that the driver kept
  // another one. Windows adds its time-outs, event mask and I/O requests.
  LineFault configure(const LineSettings& settings) override;
  int awaitLine() override;
  int collect(size_t* queued) override;
  size_t take(uint8_t* buffer, size_t max) override;
  int check() const override;
  bool lineWaiting() const override;
  size_t unsent() const override;
  size_t awaitSent(std::chrono::milliseconds limit) override;
  // Linux: the driver's counters (TIOCGICOUNT) less those at open();
  // Windows: the error flags of every ClearCommError since open().
  std::optional<LineErrors> lineErrors() override;
  // Windows: a port whose driver answers no ClearCommError.
  std::string readingNote() const override;
  int applySignal(LineSignal signal) override;
  void stopWaiting() override;
  // On Linux also puts back the tty settings found at open(), once waiting
  // output has gone.
  void close() override;
  void closeSoon() override;

 protected:
  void queueTransmission(const char* text, size_t length) override;

 private:
  struct Impl;
  Impl* impl_;
};
