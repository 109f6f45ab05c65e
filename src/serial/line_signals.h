// Line signal requests: "-setsignal SETDTR,CLRRTS" drives the port's control
// lines once, after the port is configured and before capture starts.
#pragma once

#include <cstdio>
#include <functional>

// The signal names by code; the code is the entry's position. Code 0 is never
// looked up; code 7 (device reset) is matched by six sevens, not a word.
inline constexpr const char* kSignalNameTable[10] = {
    "NONE",   "SETXOFF", "SETXON",  "SETRTS",   "CLRRTS",
    "SETDTR", "CLRDTR",  "777777", "SETBREAK", "CLRBREAK",
};

// Applies a signal code; returns 0 or an error number.
using SignalApplier = std::function<int(int code)>;

// Walks the comma-separated `list`, applies each recognised item in order and
// prints one result line per applied signal. Unrecognised items are skipped
// silently; a failed signal does not stop the list.
void applySignalList(const char* list, const SignalApplier& apply, std::FILE* console);
