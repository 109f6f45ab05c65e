#include "serial/line_errors_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// ClearCommError's reports over a run, as a driver gives them: each report
// counts each error flag once; flags that are no receive errors count
// nothing.
TEST(LineErrorsWin32, EachReportedFlagCountsOnce) {
  const DWORD reports[] = {
      0,
      CE_OVERRUN,
      CE_OVERRUN | CE_RXOVER | CE_FRAME | CE_RXPARITY | CE_BREAK,
      CE_TXFULL | CE_MODE,
      CE_BREAK | CE_FRAME,  // a break usually comes with a framing error
      CE_RXOVER,
      0,
  };
  LineErrors counts;
  for (DWORD flags : reports) countCommErrors(flags, counts);
  EXPECT_EQ(counts, (LineErrors{2, 2, 2, 1, 2}));
  EXPECT_TRUE(counts.lostData());

  LineErrors quiet;
  countCommErrors(CE_BREAK | CE_FRAME | CE_RXPARITY | CE_TXFULL, quiet);
  EXPECT_EQ(quiet, (LineErrors{0, 0, 1, 1, 1}));
  EXPECT_FALSE(quiet.lostData());
}

}  // namespace
