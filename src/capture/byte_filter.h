// The byte filter: decides, byte by byte in arrival order, what goes to the
// capture file, what is shown on the console, and what ends the capture.
// The device speaks in-band: Ctrl-Y flushes the file, Ctrl-Z or the end
// phrase "kwo end" ends the capture, and optional split markers delimit the
// segments worth keeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "capture/capture_file.h"
#include "control/capture_settings.h"

// The filter's state; it carries across reads, so a segment or a partial
// end phrase may span two of them. Touched by the capture worker alone.
struct FilterState {
  bool inSegment = true;
  int matchPos = 0;  // bytes of the end phrase matched so far
  int64_t segmentCount = 0;
  int64_t totalByteInFile = 0;
};

enum class FilterVerdict { kContinue, kEnd };

class ByteFilter {
 public:
  static constexpr char kEndPhrase[] = "kwo end";
  static constexpr int kEndPhraseLength = 7;

  // Console echoes and messages go to `console`.
  ByteFilter(const CaptureSettings& settings, FilterState& state, CaptureFile& file,
             std::FILE* console);

  // Filters one byte.
  FilterVerdict filterByte(uint8_t byte);

  // Filters bytes in order; stops at the first that ends the capture (the
  // rest are dropped). Same result as filterByte() on each byte, faster.
  FilterVerdict filter(const uint8_t* data, size_t length);

 private:
  // Bytes that end a run of the block path: with `nonText`, every byte
  // outside 0x20..0x7E, and the bytes listed (repeats allowed).
  struct RunEnds {
    bool nonText = false;
    uint8_t bytes[3] = {};
  };

  FilterVerdict accept(uint8_t byte);
  void echo(uint8_t byte);
  FilterVerdict filterQuiet(const uint8_t* data, size_t length);

  const CaptureSettings& settings_;
  FilterState& state_;
  CaptureFile& file_;
  std::FILE* console_;
  // Bytes that, at log level 0, need no decision: inside a segment with no
  // partial end phrase pending they are simply written (a line feed as
  // CR LF); outside a segment they are simply not written.
  bool plainInside_[256];
  bool plainOutside_[256];
  // Inside a segment, bytes rejected by the filter: at log level 0 a "!".
  bool rejectedInside_[256];
  // Whether the end phrase's first letter is written when met inside a
  // segment (it is not when it is the end marker).
  bool phraseStartAccepted_;
  // Whether a CR LF inside a segment is stored as it came.
  bool crLfAsIs_;
  // The same classes for the block scan, as bytes that end a run.
  RunEnds insideEnds_;
  RunEnds outsideEnds_;
};
