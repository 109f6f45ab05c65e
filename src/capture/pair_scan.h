// Finds where a text may stand in a block of bytes: at the places where its
// first byte stands with its last byte the right distance after it. The
// text search (text_search.h) checks each such candidate whole; on text the
// pair is rare, so most of the bytes are only looked at here, many at a
// time: pair_scan_sse2.cpp on x86-64, pair_scan_portable.cpp elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

// The first offset i below `positions` where data[i] is `first` and
// data[i + span] is `last`; `positions` when there is none. Bytes up to
// data[positions - 1 + span] are read.
size_t findBytePair(const uint8_t* data, size_t positions, uint8_t first, uint8_t last,
                    size_t span);
