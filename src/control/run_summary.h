// The run summary (--summary): one JSON object that tells a test rack how a
// capture run ended, written when the run is over.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/fail_text_matcher.h"
#include "serial/line_errors.h"

// How a capture run ended; the summary's "end".
enum class RunEnd {
  kCtrlZ,
  kEndPhrase,
  kEndText,  // an --end-on text
  kTimeOut,
  kDeadline,
  kInterrupted,
  kLineFailure,
  kOpenFailure,
  kFileFailure,
};

const char* runEndName(RunEnd end);

// What the supervisor knows once a capture run is over: how it ended and
// what it did. Gathered in one place, and taken whole into the run's status
// and its summary.
struct EndOfRun {
  using Time = std::chrono::system_clock::time_point;

  RunEnd end = RunEnd::kTimeOut;
  int result = 0;                // the run's result, before the long options weigh in
  int interruptedStatus = 0;     // the interruption's exit status, 0 if none
  const char* signal = nullptr;  // the interruption's name, if any
  int64_t bytesRead = 0;
  int64_t fileBytes = 0;  // everything this run added to the capture file
  int64_t lines = 0;      // line feeds written to the capture file
  std::optional<Time> firstByte;
  std::optional<Time> lastByte;
  int64_t reconnects = 0;  // how often a lost port came back
  // The --end-on text that ended the run (its index), and the --expect
  // steps matched.
  std::optional<size_t> endText;
  size_t stepsMatched = 0;
};

struct RunSummary {
  using Time = std::chrono::system_clock::time_point;

  std::string version;
  std::string port;         // the port argument as given
  std::string captureFile;  // the path as given
  Time started;
  Time ended;
  EndOfRun run;
  // With --end-on only: the key "end_text", the text that ended the run
  // (null if none did).
  bool endTextsGiven = false;
  std::optional<std::string> endText;
  // With --expect only: the key "expect", how far the dialogue got.
  struct ExpectProgress {
    size_t steps;
    size_t matched;
  };
  std::optional<ExpectProgress> expect;
  int exitStatus = 0;
  std::vector<FailMatch> failMatches;
  std::optional<LineErrors> lineErrors;  // none where the port keeps no counts
};

// The summary as a JSON object, UTF-8, ending in a line feed.
std::string summaryJson(const RunSummary& summary);

// `text` as a JSON string, quotes included. Bytes that are not UTF-8 (a port
// or a line may bring any byte) become U+FFFD, so the result is always valid.
std::string jsonString(std::string_view text);

// Writes the summary to `path`, replacing the file whole (replace_file.h),
// or prints it on `console` when `path` is "-" or names standard output, so
// that it comes after the run's console lines; on failure prints the message
// on `console`. Returns 0 or the error number.
int writeSummary(const char* path, const RunSummary& summary, std::FILE* console);
