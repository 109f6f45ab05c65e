// The byte filter. filterByte() is the rule for one byte; filter() runs the
// same rule over a read, taking long runs of bytes that need no decision in
// one step so that capturing keeps up with any line rate: it finds where a
// run ends 16 bytes at a time (8 without SSE2) and copies the run straight
// into the capture file's buffer in the same pass.
#include "capture/byte_filter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

// SERCAP_PORTABLE_SCAN builds the portable scan on x86 as well, to test it.
#if defined(__SSE2__) && !defined(SERCAP_PORTABLE_SCAN)
#include <emmintrin.h>
#define SERCAP_SSE2_SCAN 1
#endif

namespace {

constexpr uint8_t kCtrlY = 0x19;  // flush the capture file
constexpr uint8_t kCtrlZ = 0x1A;  // end the capture

bool isPrintable(uint8_t b) {
  return b >= 0x20 && b <= 0x7E;
}

#ifdef SERCAP_SSE2_SCAN

// Blocks of 16 bytes in an SSE2 register; a mask has a bit per byte.
class BlockScan {
 public:
  using Word = __m128i;
  using Mask = uint32_t;
  static constexpr size_t kWidth = 16;
  static constexpr Mask kLast = Mask{1} << 15;  // the block's last byte

  template <typename Ends>
  explicit BlockScan(const Ends& ends)
      // Adding 0x60 maps 0x20..0x7E onto -128..-34 as signed bytes, so one
      // signed comparison finds every byte outside; 127 finds none.
      : shift_(_mm_set1_epi8(0x60)),
        limit_(_mm_set1_epi8(ends.nonText ? -34 : 127)),
        b0_(_mm_set1_epi8(static_cast<char>(ends.bytes[0]))),
        b1_(_mm_set1_epi8(static_cast<char>(ends.bytes[1]))),
        b2_(_mm_set1_epi8(static_cast<char>(ends.bytes[2]))) {}

  static Word load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const Word*>(p)); }
  static void store(uint8_t* p, Word w) { _mm_storeu_si128(reinterpret_cast<Word*>(p), w); }

  // The bytes that end a run.
  Mask ends(Word v) const {
    Word m = _mm_cmpgt_epi8(_mm_add_epi8(v, shift_), limit_);
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, b0_));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, b1_));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, b2_));
    return static_cast<Mask>(_mm_movemask_epi8(m));
  }
  static Mask equal(Word v, uint8_t b) {
    return static_cast<Mask>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(b)))));
  }
  // Each mark moved to the byte after it; a mark on the last byte is lost.
  static Mask next(Mask m) { return (m << 1) & 0xFFFF; }
  // The position of the first marked byte; `m` is not 0.
  static size_t first(Mask m) { return static_cast<size_t>(std::countr_zero(m)); }
  // The x86-64 baseline has no popcnt instruction: a table of bytes instead.
  static size_t count(Mask m) { return kBitCount[m & 0xFF] + kBitCount[(m >> 8) & 0xFF]; }

 private:
  static constexpr auto kBitCount = [] {
    std::array<uint8_t, 256> counts{};
    for (int i = 0; i < 256; ++i) counts[i] = static_cast<uint8_t>(std::popcount(unsigned(i)));
    return counts;
  }();
  Word shift_, limit_, b0_, b1_, b2_;
};

#else

// Blocks of 8 bytes in a 64-bit word; a mask has the top bit of each marked
// byte. Every test is exact per byte (no carry crosses a byte), so a mask
// may be read from either end.
class BlockScan {
 public:
  using Word = uint64_t;
  using Mask = uint64_t;
  static constexpr size_t kWidth = 8;
  static constexpr Mask kLast =
      std::endian::native == std::endian::little ? Mask{0x80} << 56 : Mask{0x80};

  template <typename Ends>
  explicit BlockScan(const Ends& ends) : nonText_(ends.nonText) {
    for (int i = 0; i < 3; ++i) bytes_[i] = kOnes * ends.bytes[i];
  }

  static Word load(const uint8_t* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  static void store(uint8_t* p, Word w) { std::memcpy(p, &w, sizeof w); }

  Mask ends(Word x) const {
    Mask m = 0;
    if (nonText_) {
      const uint64_t low = x & kLow7;
      // Below 0x20: no top bit, and none either once 0x60 is added.
      m |= ~((low + 0x60 * kOnes) | x) & kHigh;
      // 0x7F and above: a top bit, or one once 1 is added.
      m |= ((low + kOnes) | x) & kHigh;
    }
    for (uint64_t pattern : bytes_) m |= zeroBytes(x ^ pattern);
    return m;
  }
  static Mask equal(Word x, uint8_t b) { return zeroBytes(x ^ (kOnes * b)); }
  static Mask next(Mask m) {
    if constexpr (std::endian::native == std::endian::little) {
      return m << 8;
    } else {
      return m >> 8;
    }
  }
  static size_t first(Mask m) {
    if constexpr (std::endian::native == std::endian::little) {
      return static_cast<size_t>(std::countr_zero(m)) / 8;
    } else {
      return static_cast<size_t>(std::countl_zero(m)) / 8;
    }
  }
  // A mark is one top bit per byte, so the sum of the bytes is the count.
  static size_t count(Mask m) { return static_cast<size_t>(((m >> 7) * kOnes) >> 56); }

 private:
  static constexpr uint64_t kOnes = 0x0101010101010101ull;
  static constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  static constexpr uint64_t kHigh = 0x8080808080808080ull;
  static Mask zeroBytes(uint64_t t) { return ~(((t & kLow7) + kLow7) | t) & kHigh; }
  bool nonText_;
  uint64_t bytes_[3];
};

#endif

}  // namespace

ByteFilter::ByteFilter(const CaptureSettings& settings, FilterState& state, CaptureFile& file,
                       std::FILE* console)
    : settings_(settings), state_(state), file_(file), console_(console) {
  const uint8_t phraseStart = static_cast<uint8_t>(kEndPhrase[0]);
  for (int b = 0; b < 256; ++b) {
    bool control = b == kCtrlY || b == kCtrlZ;
    bool accepted = isPrintable(b) || b == '\n' || settings.filterOff;
    bool endMarker = b != 0 && b == settings.endMarker;
    bool beginMarker = b != 0 && b == settings.beginMarker;
    plainInside_[b] = accepted && !control && !endMarker && b != phraseStart;
    plainOutside_[b] = !control && !beginMarker;
    rejectedInside_[b] = !accepted && !control && !endMarker;
  }
  phraseStartAccepted_ = settings.endMarker != phraseStart;
  // Without "-filteroff" a CR LF is stored as it came (the CR is dropped,
  // the LF becomes CR LF), which lets text lines go through whole.
  crLfAsIs_ = rejectedInside_['\r'] && plainInside_['\n'];

  // The block path always stops at line feeds and at the phrase's first
  // letter; these are the other bytes it stops at, beyond non-text bytes
  // when non-text is rejected. A repeat stands for "no more".
  const uint8_t endMarker = settings.endMarker != 0 ? settings.endMarker : kCtrlY;
  insideEnds_ = {!settings.filterOff, {kCtrlY, kCtrlZ, endMarker}};
  const uint8_t beginMarker = settings.beginMarker != 0 ? settings.beginMarker : kCtrlY;
  outsideEnds_ = {false, {kCtrlY, kCtrlZ, beginMarker}};
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
  if (settings_.logLevel == 0) return filterQuiet(data, length);
  for (size_t i = 0; i < length; ++i) {
    if (filterByte(data[i]) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
  }
  return FilterVerdict::kContinue;
}

// Log level 0: the console shows only rejected bytes, so runs of bytes that
// need no decision can be taken whole; every other byte goes by the rule.
FilterVerdict ByteFilter::filterQuiet(const uint8_t* data, size_t length) {
  using Scan = BlockScan;
  constexpr size_t kWidth = Scan::kWidth;
  // Free buffer space kept at each step: one block plus a CR LF.
  constexpr size_t kRoom = 2 * kWidth;
  const Scan insideScan(insideEnds_);
  const Scan outsideScan(outsideEnds_);
  const uint8_t phraseStart = static_cast<uint8_t>(kEndPhrase[0]);
  const uint8_t phraseSecond = static_cast<uint8_t>(kEndPhrase[1]);
  const Scan::Mask crMask = crLfAsIs_ ? ~Scan::Mask{0} : 0;
  const Scan::Mask phraseStartMask = phraseStartAccepted_ ? ~Scan::Mask{0} : 0;

  // The "!" of rejected bytes are counted and printed in one go, before any
  // other output this filter makes (a write error too), so the console reads
  // the same as byte by byte.
  size_t bangs = 0;
  auto printBangs = [&] {
    static const char kBangs[] = "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";
    for (; bangs > 0; bangs -= std::min(bangs, sizeof kBangs - 1)) {
      std::fwrite(kBangs, 1, std::min(bangs, sizeof kBangs - 1), console_);
    }
  };

  size_t i = 0;
  while (i < length) {
    if (!state_.inSegment) {
      // Not written; shown as they are with "-md".
      size_t run = i;
      for (;;) {
        if (length - run < kWidth) {
          while (run < length && plainOutside_[data[run]]) ++run;
          break;
        }
        if (auto stops = outsideScan.ends(Scan::load(data + run))) {
          run += Scan::first(stops);
          break;
        }
        run += kWidth;
      }
      if (run > i && settings_.showRejected) std::fwrite(data + i, 1, run - i, console_);
      i = run;
    } else if (state_.matchPos == 0) {
      // Written straight into the file's buffer, a block at a time. A block
      // goes as it is when its only stops are CR LF pairs and phrase first
      // letters that the next byte already breaks, as in most text lines;
      // otherwise the bytes up to its first stop go, and that stop is dealt
      // with here when it is one of those or a line feed or rejected byte.
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
        if (length - i >= kWidth) {
          const Scan::Word v = Scan::load(data + i);
          Scan::store(out, v);
          const Scan::Mask cr = Scan::equal(v, '\r') & crMask;
          const Scan::Mask lf = Scan::equal(v, '\n');
          const Scan::Mask k = Scan::equal(v, phraseStart) & phraseStartMask;
          const Scan::Mask w = Scan::equal(v, phraseSecond);
          const Scan::Mask stops = insideScan.ends(v) | lf | Scan::equal(v, phraseStart);
          const Scan::Mask odd = (stops & ~(cr | lf | k)) | (lf ^ Scan::next(cr)) |
                                 (Scan::next(k) & (w | stops)) | ((cr | k) & Scan::kLast);
          if (odd == 0) {
            i += kWidth;
            out += kWidth;
            rejected += Scan::count(cr);
            continue;
          }
          const size_t plain = Scan::first(stops);
          i += plain;
          out += plain;
        } else {
          while (i < length && plainInside_[data[i]] && data[i] != '\n') *out++ = data[i++];
          if (i == length) break;
        }
        const uint8_t b = data[i];
        if (plainInside_[b]) {  // a line feed
          out[0] = '\r';
          out[1] = '\n';
          out += 2;
          ++i;
        } else if (rejectedInside_[b]) {
          ++rejected;
          ++i;
        } else if (b == phraseStart && phraseStartAccepted_ && i + 1 < length &&
                   plainInside_[data[i + 1]] && data[i + 1] != phraseSecond) {
          // The match it starts ends with the next byte, itself plain.
          *out++ = b;
          ++i;
        } else {
          break;
        }
      }
      file_.commit(out);
      bangs += rejected - shown;
      const auto written = static_cast<int64_t>(i - start - rejected);
      state_.totalByteInFile += written;
      state_.segmentCount += written;
    }
    if (i == length) break;
    // A byte that needs a decision, or any byte while part of the end
    // phrase is pending.
    printBangs();
    if (filterByte(data[i++]) == FilterVerdict::kEnd) return FilterVerdict::kEnd;
  }
  printBangs();
  return FilterVerdict::kContinue;
}
