// Letting what the line still has to send go out before its settings change
// at close, so that no byte leaves at a rate or framing it was not meant for.
#pragma once

#include <chrono>

namespace serial_detail {

// What a close gives the line to send what it still holds: output that has
// not moved for kDrainStall is discarded; so is what is left after
// kDrainLimit in all, or after kHurriedDrainLimit once the run was ended by
// an interruption or the time-out, which must not wait on a slow line.
constexpr std::chrono::milliseconds kDrainStall{1000};
constexpr std::chrono::milliseconds kDrainLimit{30000};
constexpr std::chrono::milliseconds kHurriedDrainLimit{1000};

// Waits while the driver's output queue shrinks, then for the UART's
// transmitter to empty. When nothing has gone out for `stall`, or after
// `limit` in all, discards what is left. Returns at once when nothing is
// queued or the driver cannot say.
void drainOutput(int fd, std::chrono::milliseconds stall = kDrainStall,
                 std::chrono::milliseconds limit = kDrainLimit);

// The waiting rule of drainOutput(), apart from the driver: told at each look
// what the driver reports, it says whether to look again, stop, or discard.
class DrainWatch {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Step { kDone, kLookAgain, kDiscard };

  DrainWatch(Clock::time_point start, std::chrono::milliseconds stall,
             std::chrono::milliseconds limit)
      : start_(start), lastProgress_(start), stall_(stall), limit_(limit) {}

  // `queued`: bytes in the driver's queue; `transmitterEmpty`: the UART has
  // sent its last bit (true where the driver cannot say).
  Step look(int queued, bool transmitterEmpty, Clock::time_point now) {
    if (queued <= 0 && transmitterEmpty) return Step::kDone;
    // Bytes left the queue, or the queue emptied into the UART: progress.
    const int left = queued < 0 ? 0 : queued;
    if (last_ < 0 || left < last_) {
      last_ = left;
      lastProgress_ = now;
    } else if (now - lastProgress_ >= stall_) {
      return Step::kDiscard;
    }
    return now - start_ >= limit_ ? Step::kDiscard : Step::kLookAgain;
  }

 private:
  Clock::time_point start_;
  Clock::time_point lastProgress_;
  std::chrono::milliseconds stall_;
  std::chrono::milliseconds limit_;
  int last_ = -1;
};

}  // namespace serial_detail
