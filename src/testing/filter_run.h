// A byte filter run in a test: `reads` fed through a fresh filter into a
// capture file of its own, as the worker feeds it, read after read, stopping
// at the end of the capture. What the file and the console got comes back
// with the filter's state.
#pragma once

#include <string>
#include <vector>

#include "capture/byte_filter.h"
#include "capture/capture_file.h"
#include "capture/line_tap.h"
#include "testing/console_capture.h"
#include "testing/temp_dir.h"

struct FilterRun {
  std::string file;
  std::string console;
  FilterVerdict verdict = FilterVerdict::kContinue;
  FilterState state;
};

enum class FilterFeed {
  kReads,    // each read whole, as the worker hands it over
  kPerByte,  // byte by byte, by the one-byte rule only
};

// A tap, if given, is told of each read before its bytes.
inline FilterRun runFilter(const FilterSettings& settings, const std::vector<std::string>& reads,
                           LineTap* tap = nullptr, FilterFeed feed = FilterFeed::kReads) {
  TempDir dir;
  ConsoleCapture console;
  FilterRun out;
  out.state.inSegment = settings.beginMarker == 0 && settings.endMarker == 0;
  {
    CaptureFile file(console.stream());
    EXPECT_EQ(file.open(dir.file("capture.txt").c_str()), 0);
    ByteFilter filter(settings, out.state, file, console.stream(), tap);
    for (const std::string& read : reads) {
      if (tap != nullptr) tap->readAt(ReadTime{});
      if (feed == FilterFeed::kPerByte) {
        for (uint8_t b : read) {
          out.verdict = filter.filterByte(b);
          if (out.verdict == FilterVerdict::kEnd) break;
        }
      } else {
        out.verdict = filter.filter(reinterpret_cast<const uint8_t*>(read.data()), read.size());
      }
      if (out.verdict == FilterVerdict::kEnd) break;
    }
  }
  out.file = readWholeFile(dir.file("capture.txt"));
  out.console = console.text();
  return out;
}

inline FilterRun runFilter(const FilterSettings& settings, const std::string& input) {
  return runFilter(settings, std::vector<std::string>{input});
}
