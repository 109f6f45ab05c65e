// The pair scan without vector instructions: the C library's memchr, which
// is quick everywhere, finds the first byte; the last is checked by hand.
#include <cstring>

#include "capture/pair_scan.h"

size_t findBytePair(const uint8_t* data, size_t positions, uint8_t first, uint8_t last,
                    size_t span) {
  for (size_t i = 0; i < positions; ++i) {
    const void* found = std::memchr(data + i, first, positions - i);
    if (found == nullptr) break;
    i = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (data[i + span] == last) return i;
  }
  return positions;
}
