#include "serial/line_rate_check.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using serial_detail::rateTaken;

// A pseudo-terminal keeps any rate, so the drivers that round or refuse are
// played by the rates they report back.
TEST(RateTakenTest, TakenWhenTheReadBackRateIsWithinTwoPercent) {
  const struct {
    int32_t requested;
    uint32_t input;
    uint32_t output;
    bool taken;
    const char* why;
  } cases[] = {
      {9600, 9600, 9600, true, "exact"},
      {31250, 0, 31250, true, "input rate 0 follows the output rate"},
      {250000, 9600, 9600, false, "8250 driver kept its old rate"},
      {250000, 0, 9600, false, "old rate in the output alone"},
      {250000, 250000, 9600, false, "input taken, output not"},
      {250000, 9600, 250000, false, "output taken, input not"},
      {230400, 0, 230769, true, "divisor rounding of a 3 MHz clock, 0.16% off"},
      {100000, 102000, 102000, true, "2% above"},
      {100000, 98000, 98000, true, "2% below"},
      {100000, 102001, 102001, false, "just over 2% above"},
      {100000, 97999, 97999, false, "just over 2% below"},
      {1, 1, 1, true, "smallest rate"},
      {INT32_MAX, UINT32_MAX, UINT32_MAX, false, "no overflow in the comparison"},
      {INT32_MAX, static_cast<uint32_t>(INT32_MAX), static_cast<uint32_t>(INT32_MAX), true,
       "largest rate"},
      {0, 0, 0, false, "no rate is taken as 0"},
      {-9600, 9600, 9600, false, "negative request"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rateTaken(c.requested, c.input, c.output), c.taken)
        << c.requested << " read back " << c.input << "/" << c.output << ": " << c.why;
  }
}

}  // namespace
