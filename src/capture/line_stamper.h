// The line stamper: the text put before each line written to the capture
// file (--timestamps), the time at which the line's first byte was read.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

enum class TimestampMode : uint8_t {
  kOff,
  kIso,      // UTC wall-clock time: "2026-12-10T14:05:42.123Z "
  kElapsed,  // seconds since the port was first opened: "12.345 "
};

// When a read was made, on both clocks: the wall clock for the date, the
// monotonic one for elapsed time (which must not jump with the wall clock).
struct ReadTime {
  std::chrono::system_clock::time_point wall;
  std::chrono::steady_clock::time_point monotonic;

  static ReadTime now() {
    return {std::chrono::system_clock::now(), std::chrono::steady_clock::now()};
  }
};

class LineStamper {
 public:
  // `origin`: when the port was first opened, for kElapsed.
  LineStamper(TimestampMode mode, std::chrono::steady_clock::time_point origin)
      : mode_(mode), origin_(origin) {}

  bool enabled() const { return mode_ != TimestampMode::kOff; }
  // The prefix for a line whose first byte came in the read made at `read`,
  // its trailing space included; "" when stamping is off.
  std::string prefix(const ReadTime& read) const;

 private:
  TimestampMode mode_;
  std::chrono::steady_clock::time_point origin_;
};
