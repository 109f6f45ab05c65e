// Line signal requests: "-setsignal SETDTR,CLRRTS" drives the port's control
// lines once, after the port is configured and before capture starts.
#pragma once

#include <cstdio>
#include <functional>

// The signals a list can name. The values are the platform's escape codes
// (EscapeCommFunction's SETXOFF to CLRBREAK), which the Windows line passes on.
enum class LineSignal {
  kSetXoff = 1,  // act as if XOFF was received: output held
  kSetXon = 2,   // act as if XON was received
  kSetRts = 3,
  kClrRts = 4,
  kSetDtr = 5,
  kClrDtr = 6,
  kResetDevice = 7,  // the platform's device reset, where it has one
  kSetBreak = 8,
  kClrBreak = 9,
};

struct SignalName {
  LineSignal signal;
  const char* name;
};

// Each signal's name, in the order an item is tried against them: from
// CLRBREAK down to SETXOFF. No name begins another, so today the order
// decides nothing. The reset is named by six sevens, not a word.
inline constexpr SignalName kSignalNames[] = {
    {LineSignal::kClrBreak, "CLRBREAK"},  {LineSignal::kSetBreak, "SETBREAK"},
    {LineSignal::kResetDevice, "777777"}, {LineSignal::kClrDtr, "CLRDTR"},
    {LineSignal::kSetDtr, "SETDTR"},      {LineSignal::kClrRts, "CLRRTS"},
    {LineSignal::kSetRts, "SETRTS"},      {LineSignal::kSetXon, "SETXON"},
    {LineSignal::kSetXoff, "SETXOFF"},
};

// Applies a signal; returns 0 or an error number.
using SignalApplier = std::function<int(LineSignal signal)>;

// Walks the comma-separated `list`, applies each recognised item in order and
// prints one result line per applied signal. Unrecognised items are skipped
// silently; a failed signal does not stop the list.
void applySignalList(const char* list, const SignalApplier& apply, std::FILE* console);
