// Judges the opens tried while waiting for a port: keep waiting while it is
// away, give a port that has just appeared a moment to accept the open, and
// let any other failure count at once.
#pragma once

#include <chrono>
#include <optional>

class PortWatcher {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a port that has appeared may refuse the open before its error counts.
  static constexpr std::chrono::milliseconds kRefusalGrace{2000};
  // How often an open is tried while waiting.
  static constexpr std::chrono::milliseconds kRetry{100};

  enum class Wait {
    kStart,  // the port was missing at start: only a missing port is waited for
    kReturn  // the port was lost: also the lingering node of an unplugged one
  };
  enum class Verdict { kOpened, kWaiting, kFailed };

  explicit PortWatcher(Wait wait) : wait_(wait) {}

  // The verdict on an open tried at `now` that gave `error` (0: opened).
  Verdict judge(int error, Clock::time_point now);

 private:
  bool away(int error) const;

  Wait wait_;
  // When the port first refused the open since it was last away.
  std::optional<Clock::time_point> refusedSince_;
};
