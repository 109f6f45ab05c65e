// The result codes and messages of the line's steps.
#include "serial/line_faults.h"

#include <iterator>

namespace {

constexpr int kResultOpen = 1;
constexpr int kResultPurge = 2;
constexpr int kResultSettings = 8;
constexpr int kResultTimeouts = 16;
// Some codes stand for a group of steps, as the run's results always have.
constexpr int kResultWriteRequest = 32;
constexpr int kResultLineFailed = 32;
constexpr int kResultEventMask = 64;
constexpr int kResultReadRequest = 64;

// A failed count is reported and the read goes on with what is queued.
constexpr int kResultNone = 0;

// In the order of LineStep.
constexpr LineStepReport kReports[] = {
    {kResultNone, nullptr},
    {kResultOpen, "\n>>>open com %s error : %d\n"},
    {kResultPurge, "\n>>>PurgeComm error : %d\n"},
    {kResultSettings, "\n>>>SetCommState error : %d\n"},
    {kResultTimeouts, "\n>>>GetCommTimeouts error : %d\n"},
    {kResultEventMask, "\n>>>SetCommMask error : %d\n"},
    {kResultWriteRequest, nullptr},
    {kResultReadRequest, nullptr},
    {kResultLineFailed, "\n>>>WaitCommEvent error : %d\n"},
    {kResultNone, "\n>>>ClearCommError error : %d\n"},
    // The port's error state that cannot be read during a run is a port that
    // went away: the line failure, not the opening's "event mask" group.
    {kResultLineFailed, nullptr},
};
static_assert(std::size(kReports) == static_cast<size_t>(LineStep::kCheck) + 1);

}  // namespace

const LineStepReport& reportFor(LineStep step) {
  return kReports[static_cast<size_t>(step)];
}
