// The byte filter. filterByte() is the rule for one byte; filter() runs the
// same rule over a read, taking the bytes that need no decision many at a
// time so that capturing keeps up with any line rate. With SSE2 it checks
// 64 bytes at a time and copies them into the capture file's buffer as they
// are when that is what the rule does with them, which is the common case
// for text lines; other bytes go through a table, one at a time.
#include "capture/byte_filter.h"

#include <algorithm>
#include <bit>

// SERCAP_PORTABLE_SCAN leaves out the SSE2 path on x86 too, to test the rest.
#if defined(__SSE2__) && !defined(SERCAP_PORTABLE_SCAN)
#include <emmintrin.h>
#define SERCAP_SSE2_SCAN 1
#endif

namespace {

constexpr uint8_t kCtrlY = 0x19;  // flush the capture file
constexpr uint8_t kCtrlZ = 0x1A;  // end the capture
constexpr uint8_t kPhraseStart = static_cast<uint8_t>(ByteFilter::kEndPhrase[0]);
constexpr uint8_t kPhraseSecond = static_cast<uint8_t>(ByteFilter::kEndPhrase[1]);

bool isPrintable(uint8_t b) {
  return b >= 0x20 && b <= 0x7E;
}

#ifdef SERCAP_SSE2_SCAN

// The number of bits set; the x86-64 baseline has no popcnt instruction.
size_t countBits(uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<size_t>((x * 0x0101010101010101ull) >> 56);
}

using Vector = __m128i;

Vector load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const Vector*>(p));
}
void store(uint8_t* p, Vector v) {
  _mm_storeu_si128(reinterpret_cast<Vector*>(p), v);
}
Vector splat(uint8_t b) {
  return _mm_set1_epi8(static_cast<char>(b));
}
// Bit i set where byte i is marked (all ones).
uint32_t marks(Vector v) {
  return static_cast<uint32_t>(_mm_movemask_epi8(v));
}

// Non-text bytes, outside 0x20..0x7E: adding 0x60 maps 0x20..0x7E onto
// -128..-34 as signed bytes, so one signed comparison finds the others.
// A limit of 127 finds none.
class NonText {
 public:
  explicit NonText(bool on) : shift_(splat(0x60)), limit_(splat(on ? 0xDE : 0x7F)) {}
  Vector operator()(Vector v) const { return _mm_cmpgt_epi8(_mm_add_epi8(v, shift_), limit_); }

 private:
  Vector shift_, limit_;
};

// Checks 64 bytes at a time inside a segment with no partial end phrase
// pending, for those that go into the file as they are. A byte does when it
// is written as itself; a CR also when a LF follows (the CR is rejected, the
// LF becomes CR LF), and that LF; the phrase's first letter also when the
// next byte goes as it is and is not the phrase's second letter: the match
// it starts breaks off there (a CR in between changes nothing, another
// first letter starts afresh), so none is pending at the end. Most text
// lines go whole. kAnySettings: for any settings; otherwise only where
// non-text is rejected, CR LF is stored as it came and the phrase's first
// letter is accepted, with one stop byte besides (the end marker), which
// saves work.
//
// Each byte's successor comes from a second load one byte further on, so a
// pair may straddle the 16-byte parts; one may not straddle blocks, as the
// next block could not tell that its first LF has been paid for. The check
// reads the byte after the block.
template <bool kAnySettings>
class InsideScan {
 public:
  static constexpr size_t kWidth = 64;
  static constexpr size_t kReach = kWidth + 1;  // bytes read

  InsideScan(bool nonText, const uint8_t (&stops)[3], bool crLfAsIs, bool phraseStartAccepted)
      : nonText_(nonText),
        stop0_(splat(stops[0])),
        stop1_(splat(stops[1])),
        stop2_(splat(stops[2])),
        crOn_(splat(crLfAsIs ? 0xFF : 0)),
        phraseStartOn_(splat(phraseStartAccepted ? 0xFF : 0)),
        firstByte_(_mm_srli_si128(splat(0xFF), 15)),
        lastByte_(_mm_slli_si128(splat(0xFF), 15)) {}

  // Copies the 64 bytes at `in` to `out`. Whether all go as they are; if
  // so, `crs` is the number of CRs among them.
  bool copy(const uint8_t* in, uint8_t* out, size_t& crs) const {
    Vector odd = _mm_setzero_si128();
    Vector crCount = _mm_setzero_si128();
#pragma GCC unroll 4
    for (size_t part = 0; part < kWidth / 16; ++part) {
      const Vector v = load(in + 16 * part);
      store(out + 16 * part, v);
      Vector cr;
      odd = _mm_or_si128(odd, oddOnes(v, load(in + 16 * part + 1), part, cr));
      crCount = _mm_sub_epi8(crCount, cr);  // a marked byte is -1
    }
    if (marks(odd) != 0) return false;
    const Vector sums = _mm_sad_epu8(crCount, _mm_setzero_si128());
    crs = static_cast<size_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    return true;
  }

  // How many of the 64 bytes at `in`, from the first, go as they are
  // (fewer than 64), and the number of CRs among those.
  size_t asIs(const uint8_t* in, size_t& crs) const {
    uint64_t odd = 0;
    uint64_t cr = 0;
    for (size_t part = 0; part < kWidth / 16; ++part) {
      Vector crs16;
      const Vector v = load(in + 16 * part);
      odd |= uint64_t{marks(oddOnes(v, load(in + 16 * part + 1), part, crs16))} << (16 * part);
      cr |= uint64_t{marks(crs16)} << (16 * part);
    }
    auto n = static_cast<size_t>(std::countr_zero(odd));
    // A CR goes only with its LF, and the phrase's first letter only with
    // the byte that breaks it off: when that byte is odd (a byte before a
    // LF that is no CR is odd, even the LF of a CR LF), they stay too.
    while (n > 0 && (in[n - 1] == '\r' || in[n - 1] == kPhraseStart)) --n;
    crs = countBits(cr & ((uint64_t{1} << n) - 1));
    return n;
  }

 private:
  // The bytes of `v` that do not go as they are, `next` holding the byte
  // after each; `cr` gets the CRs that may.
  Vector oddOnes(Vector v, Vector next, size_t part, Vector& cr) const {
    cr = _mm_cmpeq_epi8(v, splat('\r'));
    Vector lf = _mm_cmpeq_epi8(v, splat('\n'));
    Vector lfNext = _mm_cmpeq_epi8(next, splat('\n'));
    Vector phraseStart = _mm_cmpeq_epi8(v, splat(kPhraseStart));
    Vector stops = _mm_or_si128(nonText_(v), _mm_cmpeq_epi8(v, stop0_));
    stops = _mm_or_si128(stops, phraseStart);
    if constexpr (kAnySettings) {
      // Otherwise line feeds are non-text, and so are Ctrl-Y and Ctrl-Z.
      stops = _mm_or_si128(stops, lf);
      stops = _mm_or_si128(stops, _mm_cmpeq_epi8(v, stop1_));
      stops = _mm_or_si128(stops, _mm_cmpeq_epi8(v, stop2_));
      // Without the pairing, CRs and LFs are left to the check of stops.
      cr = _mm_and_si128(cr, crOn_);
      lf = _mm_and_si128(lf, crOn_);
      lfNext = _mm_and_si128(lfNext, crOn_);
      phraseStart = _mm_and_si128(phraseStart, phraseStartOn_);
    }
    // The phrase's first letter is fine unless the phrase's second follows
    // (when what follows is odd, asIs() leaves the letter out too). A CR or
    // first letter as the block's last byte is odd: what follows it is the
    // next block's.
    Vector secondNext = _mm_cmpeq_epi8(next, splat(kPhraseSecond));
    if (part == kWidth / 16 - 1) {
      lfNext = _mm_andnot_si128(lastByte_, lfNext);
      secondNext = _mm_or_si128(secondNext, lastByte_);
    }
    // A CR without a LF after it, or a byte before a LF that is no CR;
    // and a LF that starts the block.
    Vector odd = _mm_xor_si128(cr, lfNext);
    if (part == 0) odd = _mm_or_si128(odd, _mm_and_si128(lf, firstByte_));
    const Vector brokenStart = _mm_andnot_si128(secondNext, phraseStart);
    const Vector fine = _mm_or_si128(_mm_or_si128(cr, lf), brokenStart);
    return _mm_or_si128(odd, _mm_andnot_si128(fine, stops));
  }

  NonText nonText_;
  Vector stop0_, stop1_, stop2_, crOn_, phraseStartOn_, firstByte_, lastByte_;
};

// Outside a segment: the first of 16 bytes that needs a decision.
class OutsideScan {
 public:
  static constexpr size_t kWidth = 16;

  explicit OutsideScan(const uint8_t (&stops)[3])
      : stop0_(splat(stops[0])), stop1_(splat(stops[1])), stop2_(splat(stops[2])) {}

  // kWidth when none does.
  size_t first(const uint8_t* in) const {
    const Vector v = load(in);
    const Vector stops =
        _mm_or_si128(_mm_cmpeq_epi8(v, stop0_),
                     _mm_or_si128(_mm_cmpeq_epi8(v, stop1_), _mm_cmpeq_epi8(v, stop2_)));
    return static_cast<size_t>(std::countr_zero(marks(stops) | (1u << kWidth)));
  }

 private:
  Vector stop0_, stop1_, stop2_;
};

#endif

}  // namespace

ByteFilter::ByteFilter(const FilterSettings& settings, FilterState& state, CaptureFile& file,
                       std::FILE* console)
    : settings_(settings), state_(state), file_(file), console_(console) {
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

  // The vector scan's lists (see the header); 0 is never a marker.
  insideNonText_ = !settings.filterOff;
  const uint8_t endMarker = settings.endMarker != 0 ? settings.endMarker : kCtrlY;
  insideStops_[0] = endMarker;  // the only one needed when non-text is rejected
  insideStops_[1] = kCtrlY;
  insideStops_[2] = kCtrlZ;
  const uint8_t beginMarker = settings.beginMarker != 0 ? settings.beginMarker : kCtrlY;
  outsideStops_[0] = kCtrlY;
  outsideStops_[1] = kCtrlZ;
  outsideStops_[2] = beginMarker;
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
  if (settings_.logLevel == 0) {
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
#ifdef SERCAP_SSE2_SCAN
  const InsideScan<kAnySettings> insideScan(insideNonText_, insideStops_, crLfAsIs_,
                                            phraseStartAccepted_);
  const OutsideScan outsideScan(outsideStops_);
  // Room for the bytes before the first odd one of a block, then a stretch.
  constexpr size_t kBlock = InsideScan<kAnySettings>::kWidth;
  constexpr size_t kPrefetch = 1024;
  constexpr size_t kRoom = kBlock + 2 * kStretch + 1;
#else
  constexpr size_t kRoom = 2 * kStretch + 1;
#endif

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
      size_t run = i;
#ifdef SERCAP_SSE2_SCAN
      while (length - run >= OutsideScan::kWidth) {
        const size_t plain = outsideScan.first(data + run);
        run += plain;
        if (plain < OutsideScan::kWidth) break;
      }
#endif
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
        size_t end = std::min(length, i + kStretch);
#ifdef SERCAP_SSE2_SCAN
        if (length - i >= InsideScan<kAnySettings>::kReach) {
          // Reads far bigger than the cache (as in a benchmark) go at the
          // speed of memory only when fetched ahead.
          if (length - i > kPrefetch + kBlock) {
            _mm_prefetch(reinterpret_cast<const char*>(data + i + kPrefetch), _MM_HINT_T0);
          }
          size_t crs;
          if (insideScan.copy(data + i, out, crs)) {
            i += kBlock;
            out += kBlock;
            rejected += crs;
            continue;
          }
          const size_t asIs = insideScan.asIs(data + i, crs);
          i += asIs;
          out += asIs;
          rejected += crs;
          // A block that went mostly as it is was most likely text with an
          // odd byte or two: back to blocks after a few bytes. One that
          // stopped early was more likely noise, where blocks seldom go.
          end = std::min(length, i + (asIs >= 16 ? 4 : kStretch));
        }
#endif
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
