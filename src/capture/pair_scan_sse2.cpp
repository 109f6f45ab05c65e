// The pair scan with SSE2: 16 places at a time.
#include <emmintrin.h>

#include <bit>

#include "capture/pair_scan.h"

size_t findBytePair(const uint8_t* data, size_t positions, uint8_t first, uint8_t last,
                    size_t span) {
  const __m128i firsts = _mm_set1_epi8(static_cast<char>(first));
  const __m128i lasts = _mm_set1_epi8(static_cast<char>(last));
  size_t i = 0;
  for (; i + 16 <= positions; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + span));
    const auto both = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, firsts), _mm_cmpeq_epi8(b, lasts))));
    if (both != 0) return i + static_cast<size_t>(std::countr_zero(both));
  }
  for (; i < positions; ++i) {
    if (data[i] == first && data[i + span] == last) return i;
  }
  return positions;
}
