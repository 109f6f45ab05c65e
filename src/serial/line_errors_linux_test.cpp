#include "serial/line_errors_linux.h"

#include <gtest/gtest.h>

#include <climits>

#include "testing/test_pty.h"

namespace {

serial_icounter_struct totals(int overrun, int bufOverrun, int frame, int parity, int brk) {
  serial_icounter_struct t{};
  t.overrun = overrun;
  t.buf_overrun = bufOverrun;
  t.frame = frame;
  t.parity = parity;
  t.brk = brk;
  // Counters that are no line errors: they must not count as any.
  t.rx = 123456;
  t.tx = 99;
  t.cts = 7;
  return t;
}

// Totals as a driver reports them over a run: the run's errors are what
// was added since the open, also when a counter wrapped past INT_MAX.
TEST(LineErrorsLinux, RunCountsAreTheDriversTotalsSinceTheOpen) {
  struct Case {
    const char* name;
    serial_icounter_struct atOpen, atEnd;
    LineErrors expected;
  } cases[] = {
      {"nothing happened", totals(4, 1, 9, 2, 3), totals(4, 1, 9, 2, 3), {}},
      {"each kind", totals(4, 1, 9, 2, 3), totals(5, 3, 12, 6, 8), {1, 2, 3, 4, 5}},
      {"a counter wrapped",
       totals(INT_MAX, 0, 0, 0, INT_MAX - 1),
       totals(INT_MIN + 1, 0, 0, 0, INT_MIN + 1),
       {2, 0, 0, 0, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const LineErrors e = lineErrorsBetween(c.atOpen, c.atEnd);
    EXPECT_EQ(e, c.expected);
    EXPECT_EQ(e.lostData(), c.expected.overrun + c.expected.bufferOverrun > 0);
  }
}

TEST(LineErrorsLinux, LostDataMeansOverrunOfEitherKind) {
  EXPECT_FALSE((LineErrors{0, 0, 5, 5, 5}).lostData());
  EXPECT_TRUE((LineErrors{1, 0, 0, 0, 0}).lostData());
  EXPECT_TRUE((LineErrors{0, 1, 0, 0, 0}).lostData());
}

// A pseudo-terminal's driver keeps no counters: that reads as "none", not
// as zero errors.
TEST(LineErrorsLinux, PseudoTerminalHasNoTotals) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  serial_icounter_struct t;
  EXPECT_FALSE(readDriverTotals(pty.probe(), &t));
  EXPECT_FALSE(readDriverTotals(-1, &t));
}

}  // namespace
