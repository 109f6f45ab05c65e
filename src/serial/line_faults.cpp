// The result codes and messages of the line's steps.
#include "serial/line_faults.h"

#include <iterator>

namespace {

struct StepReport {
  LineStep step;
  LineStepReport report;
};

// Keyed by step. The run's results and the messages printed when a step fails.
constexpr StepReport kReports[] = {
    {LineStep::kNone, {kResultOk, nullptr}},
    {LineStep::kOpen, {kResultOpenFailed, "\n>>>open com %s error : %d\n"}},
    {LineStep::kPurge, {kResultPurgeFailed, "\n>>>PurgeComm error : %d\n"}},
    {LineStep::kSettings, {kResultSettingsRefused, "\n>>>SetCommState error : %d\n"}},
    {LineStep::kTimeouts, {kResultTimeoutsFailed, "\n>>>GetCommTimeouts error : %d\n"}},
    {LineStep::kEventMask, {kResultEventMaskFailed, "\n>>>SetCommMask error : %d\n"}},
    {LineStep::kWriteRequest, {kResultLineFailed, nullptr}},
    {LineStep::kReadRequest, {kResultEventMaskFailed, nullptr}},
    {LineStep::kWait, {kResultLineFailed, "\n>>>WaitCommEvent error : %d\n"}},
    // A failed count is reported and the read goes on with what is queued.
    {LineStep::kCount, {kResultOk, "\n>>>ClearCommError error : %d\n"}},
};

// Each step has exactly one row.
constexpr bool everyStepOnce() {
  for (int step = 0; step < static_cast<int>(LineStep::kStepCount); ++step) {
    int rows = 0;
    for (const StepReport& row : kReports) rows += static_cast<int>(row.step) == step;
    if (rows != 1) return false;
  }
  return std::size(kReports) == static_cast<size_t>(LineStep::kStepCount);
}
static_assert(everyStepOnce());

}  // namespace

const LineStepReport& reportFor(LineStep step) {
  for (const StepReport& row : kReports) {
    if (row.step == step) return row.report;
  }
  return kReports[0].report;  // unreachable: every step has its row
}
