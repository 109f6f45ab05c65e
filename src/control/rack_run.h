// What the long options add to a capture run, beside its basic steps:
// the deadline (--max-time), the raw copy (--raw), the line tap (--fail-on,
// --timestamps), and at the end the status (3, 5) and the summary
// (--summary). Without the long options it changes nothing.
#pragma once

#include <cstdio>
#include <optional>

#include "capture/capture_file.h"
#include "capture/fail_text_matcher.h"
#include "capture/line_tap.h"
#include "control/capture_settings.h"
#include "control/run_summary.h"
#include "serial/line_errors.h"

// The run's result once the long options are weighed: a fail text gives 3,
// an end the device did not mark gives 5 with --expect-end, 3 winning; only
// a result of 0 is replaced, so failures keep their own.
int rackResult(int result, bool failTextFound, bool expectEnd, RunEnd end);

// --max-time: passed once the given seconds have gone by since the start;
// never before. A negative number of seconds never passes.
class Deadline {
 public:
  Deadline(std::chrono::steady_clock::time_point start, int32_t seconds);
  // Whether the deadline has passed; remembers that it did.
  bool passed();
  bool reached() const { return reached_; }

 private:
  std::optional<std::chrono::steady_clock::time_point> at_;
  bool reached_ = false;
};

class RackRun {
 public:
  // `started`: when sercap started.
  RackRun(const CaptureSettings& settings, const ReadTime& started, std::FILE* console);

  Deadline& deadline() { return deadline_; }
  const Deadline& deadline() const { return deadline_; }

  // The summary names the port's device: it is never written there.
  void summaryIsThePort() { summaryIsPort_ = true; }

  // Opens the raw copy's file, if any: 0, or the error after printing the
  // capture file's message for it.
  int openRaw();
  CaptureFile* raw() { return settings_.rawPath != nullptr ? &raw_ : nullptr; }

  // The line tap, made once the port is open (elapsed stamps count from
  // then); null when neither stamps nor fail texts are asked for.
  LineTap* tapFrom(std::chrono::steady_clock::time_point portOpened);

  // Once the worker has stopped and before the files close: the driver's
  // line errors (none where the port keeps no count), and the last line's
  // fail text. Prints the lost-data line.
  void workerStopped(const std::optional<LineErrors>& lineErrors);

  // The run's end: weighs the long options into its result, writes the
  // summary, returns the exit status.
  int finish(const EndOfRun& run);

 private:
  const CaptureSettings& settings_;
  const ReadTime started_;
  std::FILE* console_;
  Deadline deadline_;
  CaptureFile raw_;
  FailTextMatcher failTexts_;
  std::optional<LineTap> tap_;
  std::optional<LineErrors> lineErrors_;
  bool summaryIsPort_ = false;
};
