// The line stamper's two formats.
#include "capture/line_stamper.h"

#include "capture/time_text.h"

std::string LineStamper::prefix(const ReadTime& read) const {
  switch (mode_) {
    case TimestampMode::kIso:
      return utcMillisText(read.wall) + ' ';
    case TimestampMode::kElapsed:
      return elapsedText(read.monotonic - origin_) + ' ';
    case TimestampMode::kOff:
      break;
  }
  return "";
}
