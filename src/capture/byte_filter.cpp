// The byte filter. filterByte() is the rule for one byte; filter() runs the
// same rule over a read, taking long runs of bytes that need no decision in
// one step so that capturing keeps up with any line rate.
#include "capture/byte_filter.h"

namespace {

constexpr uint8_t kCtrlY = 0x19;  // flush the capture file
constexpr uint8_t kCtrlZ = 0x1A;  // end the capture

bool isPrintable(uint8_t b) {
  return b >= 0x20 && b <= 0x7E;
}

}  // namespace

ByteFilter::ByteFilter(const CaptureSettings& settings, FilterState& state, CaptureFile& file,
                       std::FILE* console)
    : settings_(settings), state_(state), file_(file), console_(console) {
  for (int b = 0; b < 256; ++b) {
    bool control = b == kCtrlY || b == kCtrlZ;
    bool accepted = isPrintable(b) || b == '\n' || settings.filterOff;
    bool endMarker = b != 0 && b == settings.endMarker;
    bool beginMarker = b != 0 && b == settings.beginMarker;
    plainInside_[b] = accepted && !control && !endMarker && b != kEndPhrase[0];
    plainOutside_[b] = !control && !beginMarker;
  }
}

void ByteFilter::echo(uint8_t b) {
  if (isPrintable(b)) {
    std::fputc(b, console_);
  } else if (b == '\n') {
    std::fputc('.', console_);
  } else {
    std::fprintf(console_, "<%02x>", b);
  }
}

FilterVerdict ByteFilter::filterByte(uint8_t b) {
  const int logLevel = settings_.logLevel;
  if (logLevel >= 1) echo(b);
  if (b == kCtrlZ) {
    if (logLevel >= 1) std::fputs("\n>>> close\n", console_);
    return FilterVerdict::kEnd;
  }
  if (b == kCtrlY) {
    if (logLevel >= 1) std::fputs("\n>>> flush\n", console_);
    file_.flush();
    return FilterVerdict::kContinue;
  }
  if (state_.inSegment) {
    if (b != 0 && b == settings_.endMarker) {
      if (logLevel >= 1) {
        std::fprintf(console_, "\n>>>End marker %c %lld chars\n", b,
                     static_cast<long long>(state_.segmentCount));
      }
      state_.inSegment = false;
      return FilterVerdict::kContinue;
    }
    if (isPrintable(b) || b == '\n' || settings_.filterOff) return accept(b);
    if (logLevel == 0) std::fputc('!', console_);
    return FilterVerdict::kContinue;
  }
  if (b != 0 && b == settings_.beginMarker) {
    if (logLevel >= 1) std::fprintf(console_, "\n>>>begin marker %c\n", b);
    state_.inSegment = true;
    state_.segmentCount = 0;
  } else if (settings_.showRejected && logLevel == 0) {
    std::fputc(b, console_);
  }
  return FilterVerdict::kContinue;
}

FilterVerdict ByteFilter::accept(uint8_t b) {
  file_.put(b);
  ++state_.totalByteInFile;
  ++state_.segmentCount;
  if (b == static_cast<uint8_t>(kEndPhrase[state_.matchPos])) {
    if (++state_.matchPos == kEndPhraseLength) {
      file_.put('\n');
      ++state_.totalByteInFile;
      std::fputs("\n>>> kwo end\n", console_);
      return FilterVerdict::kEnd;
    }
  } else {
    // The phrase's first letter occurs nowhere else in it, so a byte that
    // breaks a partial match can only start a new one as that first letter.
    state_.matchPos = b == static_cast<uint8_t>(kEndPhrase[0]) ? 1 : 0;
  }
  return FilterVerdict::kContinue;
}

FilterVerdict ByteFilter::filter(const uint8_t* data, size_t length) {
  size_t i = 0;
  if (settings_.logLevel == 0) {
    while (i < length) {
      // A run of bytes that need no decision: written as a block inside a
      // segment (with no partial end phrase pending), skipped outside.
      size_t run = i;
      if (state_.inSegment) {
        if (state_.matchPos == 0) {
          while (run < length && plainInside_[data[run]]) ++run;
          if (run > i) {
            file_.putText(data + i, run - i);
            state_.totalByteInFile += static_cast<int64_t>(run - i);
            state_.segmentCount += static_cast<int64_t>(run - i);
          }
        }
      } else {
        while (run < length && plainOutside_[data[run]]) ++run;
        if (run > i && settings_.showRejected) std::fwrite(data + i, 1, run - i, console_);
      }
      if (run == length) return FilterVerdict::kContinue;
      if (filterByte(data[run]) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
      i = run + 1;
    }
    return FilterVerdict::kContinue;
  }
  for (; i < length; ++i) {
    if (filterByte(data[i]) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
  }
  return FilterVerdict::kContinue;
}
