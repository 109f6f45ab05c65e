// The byte filter's block scanner: finds, many bytes at a time, the bytes
// the filter need not decide one by one. block_scan_sse2.cpp does it with
// SSE2; block_scan_portable.cpp finds none and leaves every byte to the
// filter's table (machines without SSE2, and SERCAP_PORTABLE_SCAN builds).
#pragma once

#include <cstddef>
#include <cstdint>

class BlockScan {
 public:
  // The room insideAsIs() needs to take anything.
  static constexpr size_t kMaxBlock = 64;

  struct Setup {
    // Inside a segment: whether every non-text byte needs more than a copy
    // (it does unless "-filteroff"), and the bytes that need it besides
    // non-text, line feeds and the phrase's first letter, the end marker
    // first; outside, all the bytes that need a decision. Repeats stand for
    // "no more".
    bool nonText = true;
    uint8_t insideStops[3] = {};
    uint8_t outsideStops[3] = {};
    bool crLfAsIs = true;  // a CR is rejected and the LF after it becomes CR LF
    bool phraseStartAccepted = true;
    uint8_t phraseStart = 0;
    uint8_t phraseSecond = 0;
  };

  explicit BlockScan(const Setup& setup) : setup_(setup) {}

  // Outside a segment: how many bytes from `in`, of `length`, need no
  // decision, as far as whole blocks tell; the filter's table checks on.
  size_t plainOutside(const uint8_t* in, size_t length) const;

  // Inside a segment with no partial end phrase pending: copies to `out`
  // the bytes from `in` (of `length`) that go into the file as they are,
  // and writes no more than `room`. The CR of a CR LF is
  // copied too but counted in `rejected`: the rule rejects it and writes the
  // LF as CR LF, the same bytes. Stops at the first byte that does not go as
  // it is, or when the room is used up (`roomFull`). `textLike`: the last
  // block went mostly as it is, so an odd byte or two is likely followed by
  // more text.
  struct Taken {
    size_t bytes = 0;
    size_t rejected = 0;
    bool roomFull = false;
    bool textLike = false;
  };
  // kAnySettings: for any settings; otherwise only where non-text is
  // rejected, CR LF is stored as it came and the phrase's first letter is
  // accepted, which saves work.
  template <bool kAnySettings>
  Taken insideAsIs(const uint8_t* in, size_t length, uint8_t* out, size_t room) const;

 private:
  Setup setup_;
};
