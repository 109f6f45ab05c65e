// A search for one text in bytes that arrive in pieces: an occurrence may be
// split across any number of pieces. A byte that breaks a partial match is
// never skipped (prefix table), and whole occurrences inside a piece are
// found through their first and last bytes, many places at a time
// (pair_scan.h), so a search costs little per byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TextSearch {
 public:
  static constexpr size_t kNotFound = static_cast<size_t>(-1);

  // `text` is not empty.
  explicit TextSearch(std::string text);

  const std::string& text() const { return text_; }

  // Takes one byte; true when it completes the text. The search then starts
  // afresh with the next byte.
  bool step(uint8_t byte);

  // Takes bytes up to the end of the first occurrence that completes among
  // them: returns how many (the occurrence's last byte included), or
  // kNotFound when none completes (all are taken). Same as step() on each.
  size_t find(const uint8_t* data, size_t length);

  // Forgets a partial match.
  void reset() { matched_ = 0; }

 private:
  // Offset just past the first whole occurrence in `data`, or kNotFound.
  size_t skipSearch(const uint8_t* data, size_t length) const;

  std::string text_;
  std::vector<size_t> fallback_;  // length of the longest proper border of text_[0..i]
  size_t matched_ = 0;            // bytes of the text matched so far
};
