// The line tap: sees every byte the filter writes to the capture file, in
// order, so it can put a timestamp before each line (--timestamps) and
// search the lines for fail texts (--fail-on). Stamps go into the file but
// not through the filter, so its counters and the end phrase never see them.
#pragma once

#include <cstdint>

#include "capture/capture_file.h"
#include "capture/fail_text_matcher.h"
#include "capture/line_stamper.h"

class LineTap {
 public:
  // `matcher` may be null: no fail texts.
  LineTap(const LineStamper& stamper, FailTextMatcher* matcher)
      : stamper_(stamper), matcher_(matcher) {}

  // Whether there is anything to do; the filter goes byte by byte when so.
  bool enabled() const { return stamper_.enabled() || (matcher_ && matcher_->enabled()); }

  // A read was made: the lines it starts are stamped with its time.
  void readAt(const ReadTime& read) { read_ = read; }

  // Called by the filter before it writes `byte` to `file`.
  void beforeWrite(uint8_t byte, CaptureFile& file) {
    if (atLineStart_ && stamper_.enabled()) stamp(file);
    atLineStart_ = byte == '\n';
    if (matcher_ != nullptr) matcher_->feed(&byte, 1);
  }

 private:
  void stamp(CaptureFile& file);

  LineStamper stamper_;
  FailTextMatcher* matcher_;
  ReadTime read_{};
  bool atLineStart_ = true;
};
