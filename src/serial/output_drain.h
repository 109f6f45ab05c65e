// Letting what the line still has to send go out before its settings change
// at close, so that no byte leaves at a rate or framing it was not meant for.
#pragma once

#include <chrono>

namespace serial_detail {

// Waits while the driver's output queue shrinks, then for the UART's
// transmitter to empty. When nothing has gone out for `stall`, or after
// `limit` in all, discards what is left. Returns at once when nothing is
// queued or the driver cannot say.
void drainOutput(int fd, std::chrono::milliseconds stall = std::chrono::seconds(1),
                 std::chrono::milliseconds limit = std::chrono::seconds(30));

}  // namespace serial_detail
