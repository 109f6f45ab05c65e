// Whether the driver took the rate it was asked for. Some drivers answer a
// rate they cannot make with success and keep the rate they had, so the rate
// is read back after it is applied and judged here.
#pragma once

#include <cstdint>

namespace serial_detail {

// A UART makes its rate by dividing a clock, so the rate it runs at may be a
// little off the one asked for; up to 2% counts as taken. An input rate of 0
// means "as the output rate".
constexpr bool rateTaken(int32_t requested, uint32_t inputRate, uint32_t outputRate) {
  if (requested <= 0) return false;
  const int64_t wanted = requested;
  auto near = [wanted](uint32_t applied) {
    const int64_t off = static_cast<int64_t>(applied) - wanted;
    return (off < 0 ? -off : off) * 50 <= wanted;
  };
  return near(outputRate) && (inputRate == 0 || near(inputRate));
}

}  // namespace serial_detail
