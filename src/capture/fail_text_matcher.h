// The fail-text matcher (--fail-on): finds the lines of the capture file
// that contain one of the given texts, as the lines are written, so a text
// split across two reads is found, and so is one in an unfinished last line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/text_search.h"

struct FailMatch {
  int64_t line;      // numbered from 1 within the run
  std::string text;  // the line as written, without its line end
};

class FailTextMatcher {
 public:
  static constexpr size_t kKeptMatches = 100;
  // A line longer than this is kept only up to here in its match's text;
  // a device that never ends its line must not make sercap grow.
  static constexpr size_t kKeptLineBytes = 64 * 1024;

  // Each match prints one line on `console`.
  FailTextMatcher(const std::vector<const char*>& texts, std::FILE* console);

  bool enabled() const { return !patterns_.empty(); }

  // Bytes as written to the capture file, a line feed (stored as CR LF)
  // seen as one byte that ends the line.
  void feed(const uint8_t* data, size_t length);
  // The run is over: an unfinished last line's match keeps the line as it
  // stands.
  void finish();

  // How many lines matched, and the first kKeptMatches of them.
  int64_t matchCount() const { return matchCount_; }
  const std::vector<FailMatch>& matches() const { return matches_; }

 private:
  // Steps every pattern over one byte; true when one is complete.
  bool step(uint8_t byte);
  void lineMatched(const TextSearch& pattern);
  void endLine();

  // Each searched from read to read without going back over bytes.
  std::vector<TextSearch> patterns_;
  std::FILE* console_;
  std::string line_;  // the current line, up to kKeptLineBytes
  int64_t lineNumber_ = 1;
  bool lineHasMatch_ = false;
  bool keptLineMatch_ = false;  // the current line's match is in matches_
  int64_t matchCount_ = 0;
  std::vector<FailMatch> matches_;
};
