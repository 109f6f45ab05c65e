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
  kHelp,         // "--help": every option, one line each
  kVersion,      // "--version": the banner's first line
};

struct ParseResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  // Whether capture starts inside a segment; "-md" and "-mh" start outside.
  bool startInSegment = true;
};

// An option word the parser knows.
struct OptionWord {
  const char* word;
  // It needs a value: the next argument, whatever it looks like; a long
  // option's also after '=' in the same argument.
  bool takesValue;
  const char* valueName;  // what --help shows after the word ("" for none)
  const char* help;       // its line in --help
  // A long option whose value may be left out: given only after '='.
  bool optionalValue = false;
};

// Every option word the parser knows, the described ones first, then the
// long ones ("--name"). The parser takes the value-taking ones from here and
// --help prints it; the unit tests and the fuzzer check that the parser
// accepts exactly these words, and the manual page and the shell completion
// are checked against this list, so a new option cannot go undocumented.
inline constexpr OptionWord kOptionWords[] = {
    {"-f", true, "FILE", "capture file, appended to (default zurout.spt)"},
    {"-r", true, "RATE", "line rate in bits per second (default 9600)"},
    {"-t", true, "SECONDS", "end after this long without a read; 0 at once, negative never"},
    {"-md", false, "", "keep only the text between split markers '^', show the rest"},
    {"-mh", false, "", "keep only the text between split markers '^'"},
    {"-me", true, "CHAR", "end split marker instead of '^' (after -md or -mh)"},
    {"-ms", true, "CHAR", "begin split marker instead of '^' (after -md or -mh)"},
    {"-pe", false, "", "even parity"},
    {"-po", false, "", "odd parity"},
    {"-d2", false, "", "higher debug level: also the size of each read"},
    {"-d", false, "", "debug: echo every byte received and trace each step"},
    {"-progress", false, "", "print a dot after every read"},
    {"-filteroff", false, "", "keep every byte inside a segment, not only text"},
    {"-nov", false, "", "wait for each transmission to be taken by the driver"},
    {"-tx", true, "TEXT", "text sent to the device once per second (default ^)"},
    {"-ntx", true, "N", "how many times the text is sent; negative: all run long"},
    {"-s", true, "2", "two stop bits"},
    {"-flowctrl", true, "N", "DTR and RTS: 0 low, 2 handshake, otherwise high (default 1)"},
    {"-setsignal", true, "LIST", "line signals to apply before capturing, comma-separated"},
    {"--summary", true, "FILE", "write a JSON summary of the run to FILE at its end"},
    {"--fail-on", true, "TEXT", "a line holding TEXT fails the run: status 3 (may be repeated)"},
    {"--expect-end", false, "", "status 5 when the run ends by time-out or deadline"},
    {"--max-time", true, "SECONDS", "end the run at most SECONDS after sercap started"},
    {"--timestamps", false, "[=iso|elapsed]", "begin each line with the time it was read", true},
    {"--raw", true, "FILE", "append every byte read, unfiltered, to FILE"},
    {"--wait", true, "SECONDS", "wait up to SECONDS for a missing port; negative: no limit"},
    {"--reconnect", false, "", "when the port is lost, wait for it and capture on"},
    {"--help", false, "", "print this help and exit"},
    {"--version", false, "", "print the version and exit"},
};

// Reads a decimal number as the command line takes it: leading white space,
// an optional sign, digits up to the first other character; no digits read
// as 0, values beyond the signed 32-bit range are clamped to it.
int32_t parseDecimal(const char* text);

// Parses argv[1..argc-1] into `settings`. Messages (marker order, the debug
// options line) go to `out`.
ParseResult parseCommandLine(int argc, char** argv, CaptureSettings& settings, std::FILE* out);
