// The block scanner with SSE2: inside a segment it checks 64 bytes at a
// time and copies them into the capture file's buffer as they are when that
// is what the filter's rule does with them, which is the common case for
// text lines; outside a segment it skips 16 bytes at a time that need no
// decision.
#include <emmintrin.h>

#include <algorithm>
#include <bit>

#include "capture/block_scan.h"

namespace {

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

  explicit InsideScan(const BlockScan::Setup& setup)
      : nonText_(setup.nonText),
        stop0_(splat(setup.insideStops[0])),
        stop1_(splat(setup.insideStops[1])),
        stop2_(splat(setup.insideStops[2])),
        crOn_(splat(setup.crLfAsIs ? 0xFF : 0)),
        phraseStartOn_(splat(setup.phraseStartAccepted ? 0xFF : 0)),
        phraseStart_(setup.phraseStart),
        phraseSecond_(setup.phraseSecond),
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
    while (n > 0 && (in[n - 1] == '\r' || in[n - 1] == phraseStart_)) --n;
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
    Vector phraseStart = _mm_cmpeq_epi8(v, splat(phraseStart_));
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
    Vector secondNext = _mm_cmpeq_epi8(next, splat(phraseSecond_));
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
  Vector stop0_, stop1_, stop2_, crOn_, phraseStartOn_;
  uint8_t phraseStart_, phraseSecond_;
  Vector firstByte_, lastByte_;
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

}  // namespace

size_t BlockScan::plainOutside(const uint8_t* in, size_t length) const {
  const OutsideScan scan(setup_.outsideStops);
  size_t run = 0;
  while (length - run >= OutsideScan::kWidth) {
    const size_t plain = scan.first(in + run);
    run += plain;
    if (plain < OutsideScan::kWidth) break;
  }
  return run;
}

template <bool kAnySettings>
BlockScan::Taken BlockScan::insideAsIs(const uint8_t* in, size_t length, uint8_t* out,
                                       size_t room) const {
  using Scan = InsideScan<kAnySettings>;
  static_assert(Scan::kWidth <= kMaxBlock);
  // Reads far bigger than the cache (as in a benchmark) go at the speed of
  // memory only when fetched ahead.
  constexpr size_t kPrefetch = 1024;
  const Scan scan(setup_);
  Taken taken;
  while (length - taken.bytes >= Scan::kReach) {
    if (taken.bytes + Scan::kWidth > room) {
      taken.roomFull = true;
      return taken;
    }
    const uint8_t* at = in + taken.bytes;
    if (length - taken.bytes > kPrefetch + Scan::kWidth) {
      _mm_prefetch(reinterpret_cast<const char*>(at + kPrefetch), _MM_HINT_T0);
    }
    size_t crs;
    if (scan.copy(at, out + taken.bytes, crs)) {
      taken.bytes += Scan::kWidth;
      taken.rejected += crs;
      continue;
    }
    const size_t asIs = scan.asIs(at, crs);
    taken.bytes += asIs;
    taken.rejected += crs;
    // A block that went mostly as it is was most likely text with an odd
    // byte or two; one that stopped early was more likely noise.
    taken.textLike = asIs >= 16;
    return taken;
  }
  return taken;
}

template BlockScan::Taken BlockScan::insideAsIs<false>(const uint8_t*, size_t, uint8_t*,
                                                       size_t) const;
template BlockScan::Taken BlockScan::insideAsIs<true>(const uint8_t*, size_t, uint8_t*,
                                                      size_t) const;
