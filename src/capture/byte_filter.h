// The byte filter: decides, byte by byte in arrival order, what goes to the
// capture file, what is shown on the console, and what ends the capture.
// The device speaks in-band: Ctrl-Y flushes the file, Ctrl-Z or the end
// phrase "kwo end" ends the capture, and optional split markers delimit the
// segments worth keeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "capture/block_scan.h"
#include "capture/capture_file.h"
#include "capture/line_tap.h"

// What the command line decides about filtering.
struct FilterSettings {
  uint8_t beginMarker = 0;  // 0: no begin marker
  uint8_t endMarker = 0;    // 0: no end marker
  bool filterOff = false;   // keep non-text bytes too
  bool showRejected = false;
  int logLevel = 0;  // 0 quiet, 1 and 2 echo every byte
};

// The filter's state; it carries across reads, so a segment or a partial
// end phrase may span two of them. Touched by the capture worker alone.
struct FilterState {
  bool inSegment = true;
  int matchPos = 0;  // bytes of the end phrase matched so far
  int64_t segmentCount = 0;
  int64_t totalByteInFile = 0;
  // What ended the capture, once it has.
  // kEndText: a text the worker watched for (--end-on).
  enum class End : uint8_t { kNone, kCtrlZ, kEndPhrase, kEndText } end = End::kNone;
};

enum class FilterVerdict { kContinue, kEnd };

class ByteFilter {
 public:
  static constexpr char kEndPhrase[] = "kwo end";
  static constexpr int kEndPhraseLength = 7;

  // Console echoes and messages go to `console`. A `tap` sees every byte
  // written to the file first; with one, every byte goes by the rule.
  ByteFilter(const FilterSettings& settings, FilterState& state, CaptureFile& file,
             std::FILE* console, LineTap* tap = nullptr);

  // Filters one byte.
  FilterVerdict filterByte(uint8_t byte);

  // Filters bytes in order; stops at the first that ends the capture (the
  // rest are dropped). Same result as filterByte() on each byte, faster.
  FilterVerdict filter(const uint8_t* data, size_t length);

  // Ends the capture as the end phrase does, after a text found in what
  // arrived (the worker's, before filtering): a line feed ends the line.
  FilterVerdict endAfterText();

 private:
  // What the block path does with a byte inside a segment, with no partial
  // end phrase pending, at log level 0: the value is how many bytes go into
  // the file.
  enum Step : uint8_t {
    kReject = 0,  // not written: a "!" on the console
    kWrite = 1,
    kWriteLineFeed = 2,  // written as CR LF
    kDecide = 3,         // by the rule, or by the phrase's first letter's shortcut
  };

  FilterVerdict accept(uint8_t byte);
  void write(uint8_t byte);
  BlockScan blockScan() const;
  void echo(uint8_t byte);
  template <bool kAnySettings>
  FilterVerdict filterQuiet(const uint8_t* data, size_t length);

  const FilterSettings settings_;
  FilterState& state_;
  CaptureFile& file_;
  std::FILE* console_;
  LineTap* tap_;
  uint8_t insideStep_[256];  // a Step for each byte value
  // Outside a segment, the bytes that need no decision: simply not written.
  bool plainOutside_[256];
  // Whether the end phrase's first letter is written when met inside a
  // segment (it is not when it is the end marker).
  bool phraseStartAccepted_;
  // Whether a CR LF inside a segment is stored as it came: the CR is
  // rejected and the LF becomes CR LF.
  bool crLfAsIs_;
  // Non-text rejected, CR LF stored as it came, the phrase's first letter
  // accepted: what the block path is quickest for.
  bool textSettings_;
};
