// The command-line parser: turns the argument list into CaptureSettings over
// their defaults, and says what the program does next. The option table
// below is the parser: each row is an option word with its handler, and
// --help, the manual page, the README's overview and the shell completion
// are checked against it, so a new option is a new row.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

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
  // An --expect waits for the --send that pairs with it.
  bool sendDue = false;
};

// What an option's handler works on.
struct OptionUse {
  // The option's value: the next argument, or for a long option also the
  // text after '=' in the same one; null for a flag and for an optional
  // value left out.
  const char* value;
  CaptureSettings& settings;
  ParseResult& result;
  std::FILE* out;  // for the marker-order messages
};

// Applies an option. kRun to go on with the next argument; any other
// outcome ends the parsing with it (a value the option does not take is
// kUsage).
using OptionHandler = ParseOutcome (*)(const OptionUse& use);

// Where --help lists an option: grouped as a user looks for them, whatever
// order the parser needs (it needs none: every word is matched whole).
enum class OptionGroup {
  kPortAndFile,
  kLineSettings,
  kWhatIsKept,
  kEndOfRun,
  kTransmissions,
  kConsole,
  kTestRacks,
};

struct OptionWord {
  const char* word;
  // It needs a value: the next argument, whatever it looks like; a long
  // option's also after '=' in the same argument.
  bool takesValue;
  const char* valueName;  // what --help shows after the word ("" for none)
  const char* help;       // its line in --help
  OptionGroup group;
  OptionHandler apply;
  // A long option whose value may be left out: given only after '='.
  bool optionalValue = false;
};

// Reads a decimal number as the command line takes it: leading white space,
// an optional sign, digits up to the first other character; no digits read
// as 0, values beyond the signed 32-bit range are clamped to it.
int32_t parseDecimal(const char* text);

// A whole-argument decimal number, for the long options: a value like "1m"
// or "" is refused (kUsage) rather than read as its leading digits, since a
// test rack must not run on a misread deadline.
ParseOutcome parseWholeDecimal(const char* text, int32_t* value);

// "-md" and "-mh": split markers '^' at both ends, capture starting outside
// a segment; "-md" also shows the rejected bytes.
ParseOutcome useSplitMarkers(const OptionUse& use, bool showRejected);
// "-ms" and "-me": one marker replaced, which "-md" or "-mh" must have set
// first: the marker must be '^' at this moment, or the order message is
// printed ("-md|-mh option must be set before " and the option).
ParseOutcome replaceSplitMarker(const OptionUse& use, uint8_t* marker, const char* option);

// "--end-on", "--expect" and "--send": the value with its escapes decoded
// (a bad escape is kUsage). A text looked for holds 1 to 4096 bytes; the
// pairs come in order, each --expect followed by its --send.
ParseOutcome addEndText(const OptionUse& use);
ParseOutcome addExpectedText(const OptionUse& use);
ParseOutcome addSentData(const OptionUse& use);

// Every option word the parser knows, in the order --help lists them within
// their group. The single-dash words first, then the long ones.
inline constexpr OptionWord kOptionWords[] = {
    // Port and file.
    {"-f", true, "FILE", "capture file, appended to (default zurout.spt)",
     OptionGroup::kPortAndFile,
     [](const OptionUse& u) {
       u.settings.outputPath = u.value;
       return ParseOutcome::kRun;
     }},
    // Line settings.
    {"-r", true, "RATE", "line rate in bits per second (default 9600)", OptionGroup::kLineSettings,
     [](const OptionUse& u) {
       u.settings.baudRate = parseDecimal(u.value);
       return ParseOutcome::kRun;
     }},
    {"-pe", false, "", "even parity", OptionGroup::kLineSettings,
     [](const OptionUse& u) {
       u.settings.parityCode = static_cast<uint8_t>(Parity::kEven);
       u.settings.parityName = "even";
       return ParseOutcome::kRun;
     }},
    {"-po", false, "", "odd parity", OptionGroup::kLineSettings,
     [](const OptionUse& u) {
       u.settings.parityCode = static_cast<uint8_t>(Parity::kOdd);
       u.settings.parityName = "odd";
       return ParseOutcome::kRun;
     }},
    // Only two stop bits can be chosen: any other value leaves them as they are.
    {"-s", true, "2", "two stop bits", OptionGroup::kLineSettings,
     [](const OptionUse& u) {
       if (parseDecimal(u.value) == 2)
         u.settings.stopBitCode = static_cast<uint8_t>(StopBits::kTwo);
       return ParseOutcome::kRun;
     }},
    {"-flowctrl", true, "N", "DTR and RTS: 0 low, 2 handshake, otherwise high (default 1)",
     OptionGroup::kLineSettings,
     [](const OptionUse& u) {
       u.settings.flowControl = parseDecimal(u.value);
       return ParseOutcome::kRun;
     }},
    // What is kept.
    {"-mh", false, "", "keep only the text between split markers '^'", OptionGroup::kWhatIsKept,
     [](const OptionUse& u) { return useSplitMarkers(u, false); }},
    {"-md", false, "", "keep only the text between split markers '^', show the rest",
     OptionGroup::kWhatIsKept, [](const OptionUse& u) { return useSplitMarkers(u, true); }},
    {"-ms", true, "CHAR", "begin split marker instead of '^' (after -md or -mh)",
     OptionGroup::kWhatIsKept,
     [](const OptionUse& u) { return replaceSplitMarker(u, &u.settings.beginMarker, "-ms"); }},
    {"-me", true, "CHAR", "end split marker instead of '^' (after -md or -mh)",
     OptionGroup::kWhatIsKept,
     [](const OptionUse& u) { return replaceSplitMarker(u, &u.settings.endMarker, "-me"); }},
    {"-filteroff", false, "", "keep every byte inside a segment, not only text",
     OptionGroup::kWhatIsKept,
     [](const OptionUse& u) {
       u.settings.filterOff = true;
       return ParseOutcome::kRun;
     }},
    // End of the run.
    {"-t", true, "SECONDS", "end after this long without a read; 0 at once, negative never",
     OptionGroup::kEndOfRun,
     [](const OptionUse& u) {
       u.settings.timeoutSeconds = parseDecimal(u.value);
       return ParseOutcome::kRun;
     }},
    // Transmissions and signals.
    {"-tx", true, "TEXT", "text sent to the device once per second (default ^)",
     OptionGroup::kTransmissions,
     [](const OptionUse& u) {
       u.settings.txString = u.value;
       if (u.settings.txCount == 0) u.settings.txCount = 1;
       return ParseOutcome::kRun;
     }},
    {"-ntx", true, "N", "how many times the text is sent; negative: all run long",
     OptionGroup::kTransmissions,
     [](const OptionUse& u) {
       u.settings.txCount = parseDecimal(u.value);
       return ParseOutcome::kRun;
     }},
    {"-nov", false, "", "wait for each transmission to be taken by the driver",
     OptionGroup::kTransmissions,
     [](const OptionUse& u) {
       u.settings.waitForEachTransmission = true;
       return ParseOutcome::kRun;
     }},
    {"-setsignal", true, "LIST", "line signals to apply before capturing, comma-separated",
     OptionGroup::kTransmissions,
     [](const OptionUse& u) {
       u.settings.signalList = u.value;
       return ParseOutcome::kRun;
     }},
    // Console.
    {"-d", false, "", "debug: echo every byte received and trace each step", OptionGroup::kConsole,
     [](const OptionUse& u) {
       u.settings.logLevel = 1;
       return ParseOutcome::kRun;
     }},
    {"-d2", false, "", "higher debug level: also the size of each read", OptionGroup::kConsole,
     [](const OptionUse& u) {
       u.settings.logLevel = 2;
       return ParseOutcome::kRun;
     }},
    {"-progress", false, "", "print a dot after every read", OptionGroup::kConsole,
     [](const OptionUse& u) {
       u.settings.progress = true;
       return ParseOutcome::kRun;
     }},

    // The long options.
    {"--raw", true, "FILE", "append every byte read, unfiltered, to FILE",
     OptionGroup::kPortAndFile,
     [](const OptionUse& u) {
       u.settings.rawPath = u.value;
       return ParseOutcome::kRun;
     }},
    {"--wait", true, "SECONDS", "wait up to SECONDS for a missing port; negative: no limit",
     OptionGroup::kPortAndFile,
     [](const OptionUse& u) { return parseWholeDecimal(u.value, &u.settings.waitSeconds); }},
    {"--reconnect", false, "", "when the port is lost, wait for it and capture on",
     OptionGroup::kPortAndFile,
     [](const OptionUse& u) {
       u.settings.reconnect = true;
       return ParseOutcome::kRun;
     }},
    {"--timestamps", false, "[=iso|elapsed]", "begin each line with the time it was read",
     OptionGroup::kWhatIsKept,
     [](const OptionUse& u) {
       if (u.value == nullptr || std::strcmp(u.value, "iso") == 0) {
         u.settings.timestamps = TimestampMode::kIso;
       } else if (std::strcmp(u.value, "elapsed") == 0) {
         u.settings.timestamps = TimestampMode::kElapsed;
       } else {
         return ParseOutcome::kUsage;
       }
       return ParseOutcome::kRun;
     },
     true},
    {"--max-time", true, "SECONDS", "end the run at most SECONDS after sercap started",
     OptionGroup::kEndOfRun,
     [](const OptionUse& u) { return parseWholeDecimal(u.value, &u.settings.maxTimeSeconds); }},
    {"--end-on", true, "TEXT", "end the run once TEXT arrives, also a prompt (may be repeated)",
     OptionGroup::kEndOfRun, addEndText},
    {"--expect", true, "TEXT", "wait for TEXT, then send the --send after it (pairs, in order)",
     OptionGroup::kTransmissions, addExpectedText},
    {"--send", true, "DATA",
     "sent once its --expect matched; escapes \\n \\r \\t \\\\ \\xHH in all three",
     OptionGroup::kTransmissions, addSentData},
    {"--summary", true, "FILE", "write a JSON summary of the run to FILE at its end",
     OptionGroup::kTestRacks,
     [](const OptionUse& u) {
       u.settings.summaryPath = u.value;
       return ParseOutcome::kRun;
     }},
    {"--fail-on", true, "TEXT", "a line holding TEXT fails the run: status 3 (may be repeated)",
     OptionGroup::kTestRacks,
     [](const OptionUse& u) {
       if (*u.value == '\0') return ParseOutcome::kUsage;  // would match every line
       u.settings.failTexts.push_back(u.value);
       return ParseOutcome::kRun;
     }},
    {"--expect-end", false, "", "status 5 when the run ends by time-out or deadline",
     OptionGroup::kTestRacks,
     [](const OptionUse& u) {
       u.settings.expectEnd = true;
       return ParseOutcome::kRun;
     }},
    {"--help", false, "", "print this help and exit", OptionGroup::kConsole,
     [](const OptionUse&) { return ParseOutcome::kHelp; }},
    {"--version", false, "", "print the version and exit", OptionGroup::kConsole,
     [](const OptionUse&) { return ParseOutcome::kVersion; }},
};

// Parses argv[1..argc-1] into `settings`. Messages (marker order, the debug
// options line) go to `out`.
ParseResult parseCommandLine(int argc, char** argv, CaptureSettings& settings, std::FILE* out);
