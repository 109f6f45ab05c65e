// A pseudo-terminal that stands in for the device at the far end of the
// serial line. sercap opens the slave side (slavePath()); the test plays the
// device on the master side: what it sends, sercap receives, and what sercap
// transmits, receive() returns.
//
// The test keeps its own fd on the slave, set raw, so the line stays up (no
// hang-up, no echo) whenever sercap is not holding it. The pair itself and its
// device-side reads and writes are testing/pty_pair.h's.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class PtyPair;

class PtyDevice {
 public:
  using Clock = std::chrono::steady_clock;

  // Throws std::runtime_error when no pseudo-terminal can be had.
  PtyDevice();
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  const std::string& slavePath() const;
  // The test's own fd on the slave, for looking at the line's settings.
  int slaveFd() const;

  // Sends bytes as the device, waiting while sercap's side is full. False if
  // the bytes could not all be sent within `timeout`, the line failed or the
  // sending was cancelled.
  bool send(std::string_view bytes,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(60000));
  // Makes a send() running on another thread give up soon. Thread-safe.
  void cancelSend() { cancelled_.store(true); }

  // Reads what sercap transmitted until `count` bytes have come or `timeout`
  // has passed; returns what came.
  std::string receive(size_t count, std::chrono::milliseconds timeout);

  // Reads whatever sercap transmits until nothing more comes for `quiet`.
  std::string receiveUntilQuiet(std::chrono::milliseconds quiet);

  // One byte of a transmission and when it arrived.
  struct Arrival {
    char byte;
    Clock::time_point at;
  };
  // Reads transmissions, with their arrival times, for `duration`.
  std::vector<Arrival> receiveTimed(std::chrono::milliseconds duration);

  // Bytes sent by the device that nobody on the slave side has read yet.
  int unreadBytes() const;

  // Waits (up to `timeout`) until sercap has taken in everything the device
  // sent. Only meaningful once sercap has the port open.
  bool waitUntilTaken(std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

  // The device goes away: both sides are closed, so sercap's line hangs up.
  void hangUp();

 private:
  std::unique_ptr<PtyPair> pair_;
  std::atomic<bool> cancelled_{false};
};
