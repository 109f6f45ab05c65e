// Inputs for the filter benchmarks, made the same way by the Google Benchmark
// and by sercap-filter-file, so that figures from both describe the same data.
// Every generator is deterministic: the same size gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bench_input {

// The capture chunk the worker hands the filter: one read of a full queue.
constexpr size_t kReadSize = 16383;

// splitmix64: fast and good enough to make bytes that defeat branch predictors.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform enough for lengths and characters (n is small).
  uint32_t below(uint32_t n) { return static_cast<uint32_t>((next() >> 32) * n >> 32); }

 private:
  uint64_t state_;
};

// A printable byte other than `avoid` (0 avoids nothing).
inline char printable(Random& random, char avoid = 0) {
  for (;;) {
    char c = static_cast<char>(0x20 + random.below(0x7F - 0x20));
    if (c != avoid || avoid == 0) return c;
  }
}

// Lines of 10 to 100 printable bytes, each ending in CR LF, as a device that
// logs text prints them. The CR is rejected by the filter, the LF kept. The
// last line is cut short where needed so that the text ends in CR LF.
inline std::string textLines(size_t size, uint64_t seed = 1) {
  Random random(seed);
  std::string out;
  out.reserve(size + 128);
  while (out.size() < size) {
    uint32_t length = 10 + random.below(91);
    for (uint32_t i = 0; i < length; ++i) out += printable(random);
    out += "\r\n";
  }
  out.resize(size);
  if (size >= 2) out.replace(size - 2, 2, "\r\n");
  return out;
}

// Any byte value except Ctrl-Y and Ctrl-Z: those would flush the file every
// 256 bytes or end the capture, and measure the file rather than the filter.
inline std::string randomBytes(size_t size, uint64_t seed = 2) {
  Random random(seed);
  std::string out(size, '\0');
  for (size_t i = 0; i < size; i += 8) {
    uint64_t v = random.next();
    for (size_t j = 0; j < 8 && i + j < size; ++j) {
      auto b = static_cast<uint8_t>(v >> (8 * j));
      if (b == 0x19 || b == 0x1A) b = 0x18;
      out[i + j] = static_cast<char>(b);
    }
  }
  return out;
}

// Text for split markers '^': noise outside segments, kept text inside,
// every stretch 10 to 200 bytes with CR LF line ends now and then. The
// filter starts outside a segment, so the first stretch is noise.
inline std::string markedText(size_t size, uint64_t seed = 3) {
  Random random(seed);
  std::string out;
  out.reserve(size + 256);
  while (out.size() < size) {
    uint32_t length = 10 + random.below(191);
    for (uint32_t i = 0; i < length; ++i) {
      if (random.below(40) == 0) {
        out += "\r\n";
      } else {
        out += printable(random, '^');
      }
    }
    out += '^';
  }
  out.resize(size);
  return out;
}

// The inputs by name, for command lines: text, random, marked.
inline bool make(std::string_view kind, size_t size, std::string& out) {
  if (kind == "text") {
    out = textLines(size);
  } else if (kind == "random") {
    out = randomBytes(size);
  } else if (kind == "marked") {
    out = markedText(size);
  } else {
    return false;
  }
  return true;
}

}  // namespace bench_input
