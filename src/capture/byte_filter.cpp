// The byte filter. filterByte() is the rule for one byte; filter() runs the
// same rule over a read, taking the bytes that need no decision many at a
// time so that capturing keeps up with any line rate: the block scanner
// (block_scan.h) finds runs of them, and other bytes go through a table, one
// at a time.
#include "capture/byte_filter.h"

#include <algorithm>

#include "capture/block_scan.h"

namespace {

constexpr uint8_t kCtrlY = 0x19;  // flush the capture file
constexpr uint8_t kCtrlZ = 0x1A;  // end the capture
constexpr uint8_t kPhraseStart = static_cast<uint8_t>(ByteFilter::kEndPhrase[0]);
constexpr uint8_t kPhraseSecond = static_cast<uint8_t>(ByteFilter::kEndPhrase[1]);

bool isPrintable(uint8_t b) {
  return b >= 0x20 && b <= 0x7E;
}

}  // namespace

ByteFilter::ByteFilter(const FilterSettings& settings, FilterState& state, CaptureFile& file,
                       std::FILE* console, LineTap* tap)
    : settings_(settings), state_(state), file_(file), console_(console), tap_(tap) {
  for (int b = 0; b < 256; ++b) {
    bool control = b == kCtrlY || b == kCtrlZ;
    bool accepted = isPrintable(b) || b == '\n' || settings.filterOff;
    bool endMarker = b != 0 && b == settings.endMarker;
    bool beginMarker = b != 0 && b == settings.beginMarker;
    if (control || endMarker || b == kPhraseStart) {
      insideStep_[b] = kDecide;
    } else if (!accepted) {
      insideStep_[b] = kReject;
    } else {
      insideStep_[b] = b == '\n' ? kWriteLineFeed : kWrite;
    }
    plainOutside_[b] = !control && !beginMarker;
  }
  phraseStartAccepted_ = settings.endMarker != kPhraseStart;
  crLfAsIs_ = insideStep_[uint8_t{'\r'}] == kReject && insideStep_[uint8_t{'\n'}] == kWriteLineFeed;
  textSettings_ = !settings.filterOff && crLfAsIs_ && phraseStartAccepted_;
}

// The block scanner's lists (block_scan.h); 0 is never a marker.
BlockScan ByteFilter::blockScan() const {
  BlockScan::Setup setup;
  setup.nonText = !settings_.filterOff;
  const uint8_t endMarker = settings_.endMarker != 0 ? settings_.endMarker : kCtrlY;
  setup.insideStops[0] = endMarker;  // the only one needed when non-text is rejected
  setup.insideStops[1] = kCtrlY;
  setup.insideStops[2] = kCtrlZ;
  const uint8_t beginMarker = settings_.beginMarker != 0 ? settings_.beginMarker : kCtrlY;
  setup.outsideStops[0] = kCtrlY;
  setup.outsideStops[1] = kCtrlZ;
  setup.outsideStops[2] = beginMarker;
  setup.crLfAsIs = crLfAsIs_;
  setup.phraseStartAccepted = phraseStartAccepted_;
  setup.phraseStart = kPhraseStart;
  setup.phraseSecond = kPhraseSecond;
  return BlockScan(setup);
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
    state_.end = FilterState::End::kCtrlZ;
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

void ByteFilter::write(uint8_t b) {
  if (tap_ != nullptr) tap_->beforeWrite(b, file_);
  file_.put(b);
}

FilterVerdict ByteFilter::accept(uint8_t b) {
  write(b);
  ++state_.totalByteInFile;
  ++state_.segmentCount;
  if (b == static_cast<uint8_t>(kEndPhrase[state_.matchPos])) {
    if (++state_.matchPos == kEndPhraseLength) {
      write('\n');
      ++state_.totalByteInFile;
      std::fputs("\n>>> kwo end\n", console_);
      state_.end = FilterState::End::kEndPhrase;
      return FilterVerdict::kEnd;
    }
  } else {
    // The phrase's first letter occurs nowhere else in it, so a byte that
    // breaks a partial match can only start a new one as that first letter.
    state_.matchPos = b == static_cast<uint8_t>(kEndPhrase[0]) ? 1 : 0;
  }
  return FilterVerdict::kContinue;
}

FilterVerdict ByteFilter::endAfterText() {
  write('\n');
  ++state_.totalByteInFile;
  state_.end = FilterState::End::kEndText;
  return FilterVerdict::kEnd;
}

FilterVerdict ByteFilter::filter(const uint8_t* data, size_t length) {
  // The block path writes into the file's buffer unseen: not with a tap.
  if (settings_.logLevel == 0 && tap_ == nullptr) {
    return textSettings_ ? filterQuiet<false>(data, length) : filterQuiet<true>(data, length);
  }
  for (size_t i = 0; i < length; ++i) {
    if (filterByte(data[i]) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
  }
  return FilterVerdict::kContinue;
}

// Log level 0: the console shows only rejected bytes, so the bytes that need
// no decision can be taken many at a time; every other byte, and any byte
// while part of the end phrase is pending, goes by the rule.
template <bool kAnySettings>
FilterVerdict ByteFilter::filterQuiet(const uint8_t* data, size_t length) {
  // Bytes taken one at a time between two decisions, at most: the file's
  // buffer is checked for room that often.
  constexpr size_t kStretch = 256;
  // Room for a block, then a stretch (each byte may become two), then the
  // phrase's first letter.
  constexpr size_t kStretchRoom = 2 * kStretch + 1;
  constexpr size_t kRoom = BlockScan::kMaxBlock + kStretchRoom;
  const BlockScan scan = blockScan();

  // The "!" of rejected bytes are counted and printed in one go, before any
  // other output this filter makes (a write error too), so the console reads
  // the same as byte by byte.
  size_t bangs = 0;
  auto printBangs = [&] {
    static const char kBangs[] = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";
    while (bangs > 0) {
      const size_t n = std::min(bangs, sizeof kBangs - 1);
      std::fwrite(kBangs, 1, n, console_);
      bangs -= n;
    }
  };

  size_t i = 0;
  while (i < length) {
    if (!state_.inSegment) {
      // Not written; shown as they are with "-md".
      size_t run = i + scan.plainOutside(data + i, length - i);
      while (run < length && plainOutside_[data[run]]) ++run;
      if (run > i && settings_.showRejected) std::fwrite(data + i, 1, run - i, console_);
      i = run;
    } else if (state_.matchPos == 0) {
      // Written straight into the file's buffer.
      const size_t start = i;
      size_t rejected = 0;
      size_t shown = 0;  // of the rejected, those already in `bangs`
      uint8_t* out = file_.space(kRoom);
      for (;;) {
        if (static_cast<size_t>(file_.spaceEnd() - out) < kRoom) {
          // Draining may report a write error: the "!" before it go first.
          file_.commit(out);
          bangs += rejected - shown;
          shown = rejected;
          printBangs();
          out = file_.space(kRoom);
        }
        const size_t room = static_cast<size_t>(file_.spaceEnd() - out) - kStretchRoom;
        const BlockScan::Taken taken =
            scan.insideAsIs<kAnySettings>(data + i, length - i, out, room);
        i += taken.bytes;
        out += taken.bytes;
        rejected += taken.rejected;
        if (taken.roomFull) continue;
        // After text with an odd byte or two: back to blocks after a few
        // bytes. After noise, where blocks seldom go: a whole stretch.
        const size_t end = std::min(length, i + (taken.textLike ? 4 : kStretch));
        // One at a time, without a branch on the byte's class.
        for (; i < end; ++i) {
          const uint8_t b = data[i];
          const uint8_t step = insideStep_[b];
          if (step == kDecide) break;
          out[0] = step == kWriteLineFeed ? '\r' : b;
          out[1] = b;
          out += step;
          rejected += step == kReject;
        }
        if (i == length) break;
        if (i == end) continue;
        // The phrase's first letter, when the next byte is written and so
        // breaks the match at once, is written without more ado.
        if (data[i] == kPhraseStart && phraseStartAccepted_ && i + 1 < length &&
            data[i + 1] != kPhraseSecond &&
            (insideStep_[data[i + 1]] == kWrite || insideStep_[data[i + 1]] == kWriteLineFeed)) {
          *out++ = kPhraseStart;
          ++i;
          continue;
        }
        break;
      }
      file_.commit(out);
      bangs += rejected - shown;
      const auto written = static_cast<int64_t>(i - start - rejected);
      state_.totalByteInFile += written;
      state_.segmentCount += written;
    }
    if (i == length) break;
    printBangs();
    if (filterByte(data[i++]) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
  }
  printBangs();
  return FilterVerdict::kContinue;
}
