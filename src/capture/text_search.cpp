// The search goes byte by byte only while a match is partial, at the start of
// a piece (what the previous piece began) and over its last bytes (what the
// next one may finish); in between, the pair scan finds the candidates.
#include "capture/text_search.h"

#include <algorithm>
#include <cstring>

#include "capture/pair_scan.h"

TextSearch::TextSearch(std::string text) : text_(std::move(text)), fallback_(text_.size(), 0) {
  for (size_t i = 1, k = 0; i < text_.size(); ++i) {
    while (k > 0 && text_[i] != text_[k]) k = fallback_[k - 1];
    if (text_[i] == text_[k]) ++k;
    fallback_[i] = k;
  }
}

bool TextSearch::step(uint8_t byte) {
  const char c = static_cast<char>(byte);
  while (matched_ > 0 && text_[matched_] != c) matched_ = fallback_[matched_ - 1];
  if (text_[matched_] == c) ++matched_;
  if (matched_ < text_.size()) return false;
  matched_ = 0;
  return true;
}

size_t TextSearch::skipSearch(const uint8_t* data, size_t length) const {
  const size_t m = text_.size();
  if (length < m) return kNotFound;
  const auto* text = reinterpret_cast<const uint8_t*>(text_.data());
  const size_t positions = length - m + 1;
  for (size_t at = 0; at < positions; ++at) {
    at += findBytePair(data + at, positions - at, text[0], text[m - 1], m - 1);
    if (at == positions) break;
    if (std::memcmp(data + at, text, m) == 0) return at + m;
  }
  return kNotFound;
}

size_t TextSearch::find(const uint8_t* data, size_t length) {
  size_t i = 0;
  while (matched_ > 0 && i < length) {
    if (step(data[i++])) return i;
  }
  if (i == length) return kNotFound;
  const size_t whole = skipSearch(data + i, length - i);
  if (whole != kNotFound) return i + whole;
  // No whole occurrence: only the last bytes can begin one the next piece
  // finishes. Fewer than the text's length, so none completes here.
  for (size_t j = length - std::min(text_.size() - 1, length - i); j < length; ++j) step(data[j]);
  return kNotFound;
}
