// The command-line parser: turns the argument list into CaptureSettings over
// their defaults, and says what the program does next.
#pragma once

#include <cstdint>
#include <cstdio>

#include "control/capture_settings.h"

enum class ParseOutcome {
  kRun,          // settings complete: capture
  kListPorts,    // no arguments: banner and port list
  kUsage,        // unrecognised argument, or an option missing its value
  kMarkerOrder,  // "-me"/"-ms" before "-md"/"-mh": message already printed
};

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  // Whether capture starts inside a segment; "-md" and "-mh" start outside.
  bool startInSegment = true;
};

// An option word the parser knows.
struct OptionWord {
  const char* word;
  bool takesValue;  // the next argument is its value, whatever it looks like
};

// Every option word the parser knows. The parser takes the value-taking ones
// from here; the unit tests and the fuzzer check that it accepts exactly
// these words, and the manual page and the shell completion are checked
// against this list, so a new option cannot go undocumented.
inline constexpr OptionWord kOptionWords[] = {
    {"-f", true},          {"-r", true},        {"-t", true},         {"-md", false},
    {"-mh", false},        {"-me", true},       {"-ms", true},        {"-pe", false},
    {"-po", false},        {"-d2", false},      {"-d", false},        {"-progress", false},
    {"-filteroff", false}, {"-nov", false},     {"-tx", true},        {"-ntx", true},
    {"-s", true},          {"-flowctrl", true}, {"-setsignal", true},
};

// Reads a decimal number as the command line takes it: leading white space,
// an optional sign, digits up to the first other character; no digits read
// as 0, values beyond the signed 32-bit range are clamped to it.
int32_t parseDecimal(const char* text);

// Parses argv[1..argc-1] into `settings`. Messages (marker order, the debug
// options line) go to `out`.
ParseResult parseCommandLine(int argc, char** argv, CaptureSettings& settings, std::FILE* out);
