// The block scanner without vector instructions: it finds nothing, so the
// byte filter takes every byte through its table. The filter's results are
// the same either way; only its speed differs.
#include "capture/block_scan.h"

size_t BlockScan::plainOutside(const uint8_t*, size_t) const {
  return 0;
}

template <bool kAnySettings>
BlockScan::Taken BlockScan::insideAsIs(const uint8_t*, size_t, uint8_t*, size_t) const {
  return {};
}

template BlockScan::Taken BlockScan::insideAsIs<false>(const uint8_t*, size_t, uint8_t*,
                                                       size_t) const;
template BlockScan::Taken BlockScan::insideAsIs<true>(const uint8_t*, size_t, uint8_t*,
                                                      size_t) const;
