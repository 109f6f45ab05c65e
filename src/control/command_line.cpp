// The command-line parser. Rules are tested in a fixed order; the first that
// matches an argument applies.
#include "control/command_line.h"

#include <cctype>
#include <cstring>
#include <string_view>

#include "control/port_argument.h"
#include "serial/port_names.h"

int32_t parseDecimal(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Accumulate in 64 bits and stop growing once past the 32-bit range, so a
  // long run of digits never overflows.
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value <= INT32_MAX) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

namespace {

bool isPortArgument(const char* arg) {
  // "com3" too: Windows' device names ignore case. A path names a serial
  // device directly on POSIX systems; rfc2217:// and tcp:// name a port on
  // another machine.
  return hasComPrefix(arg) || arg[0] == '/' || isNetworkPort(arg);
}

// Applies an option that takes a value. Returns false on a marker-order stop.
bool applyValueOption(const char* option, const char* value, CaptureSettings& s, std::FILE* out) {
  if (std::strcmp(option, "-f") == 0) {
    s.outputPath = value;
  } else if (std::strcmp(option, "-r") == 0) {
    s.baudRate = parseDecimal(value);
  } else if (std::strcmp(option, "-t") == 0) {
    s.timeoutSeconds = parseDecimal(value);
  } else if (std::strcmp(option, "-me") == 0) {
    if (s.endMarker != '^') {
      std::fputs("-md|-mh option must be set before -me\n", out);
      return false;
    }
    s.endMarker = static_cast<uint8_t>(value[0]);
  } else if (std::strcmp(option, "-ms") == 0) {
    if (s.beginMarker != '^') {
      std::fputs("-md|-mh option must be set before -ms\n", out);
      return false;
    }
    s.beginMarker = static_cast<uint8_t>(value[0]);
  } else if (std::strcmp(option, "-tx") == 0) {
    s.txString = value;
    if (s.txCount == 0) s.txCount = 1;
  } else if (std::strcmp(option, "-ntx") == 0) {
    s.txCount = parseDecimal(value);
  } else if (std::strcmp(option, "-s") == 0) {
    if (parseDecimal(value) == 2) s.stopBitCode = static_cast<uint8_t>(StopBits::kTwo);
  } else if (std::strcmp(option, "-flowctrl") == 0) {
    s.flowControl = parseDecimal(value);
  } else if (std::strcmp(option, "-setsignal") == 0) {
    s.signalList = value;
  }
  return true;
}

bool takesValue(const char* arg) {
  for (const OptionWord& option : kOptionWords) {
    if (option.takesValue && std::strcmp(arg, option.word) == 0) return true;
  }
  return false;
}

// Applies a flag option. Returns false when the argument is not one.
bool applyFlag(const char* arg, CaptureSettings& s, ParseResult& result) {
  if (std::strcmp(arg, "-md") == 0 || std::strcmp(arg, "-mh") == 0) {
    if (arg[2] == 'd') s.showRejected = true;
    s.beginMarker = s.endMarker = '^';
    result.startInSegment = false;
  } else if (std::strcmp(arg, "-pe") == 0) {
    s.parityCode = static_cast<uint8_t>(Parity::kEven);
    s.parityName = "even";
  } else if (std::strcmp(arg, "-po") == 0) {
    s.parityCode = static_cast<uint8_t>(Parity::kOdd);
    s.parityName = "odd";
  } else if (std::strcmp(arg, "-d2") == 0) {
    s.logLevel = 2;
  } else if (std::strcmp(arg, "-d") == 0) {
    s.logLevel = 1;
  } else if (std::strcmp(arg, "-progress") == 0) {
    s.progress = true;
  } else if (std::strcmp(arg, "-filteroff") == 0) {
    s.filterOff = true;
  } else if (std::strcmp(arg, "-nov") == 0) {
    s.useOverlapped = false;
  } else {
    return false;
  }
  return true;
}

// A whole-argument decimal number, for the long options: a value like "1m"
// or "" is refused rather than read as its leading digits, since a test rack
// must not run on a misread deadline.
bool parseWholeDecimal(const char* text, int32_t* value) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (*p == '\0') return false;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  *value = parseDecimal(text);
  return true;
}

const OptionWord* findLongOption(std::string_view name) {
  for (const OptionWord& option : kOptionWords) {
    if (option.word[1] == '-' && name == option.word) return &option;
  }
  return nullptr;
}

// Applies a long option and its value (null when none was given). Returns
// false when the value is not one the option takes.
bool applyLongOption(std::string_view name, const char* value, CaptureSettings& s,
                     ParseResult& result) {
  if (name == "--summary") {
    s.summaryPath = value;
  } else if (name == "--fail-on") {
    if (*value == '\0') return false;  // would match every line
    s.failTexts.push_back(value);
  } else if (name == "--expect-end") {
    s.expectEnd = true;
  } else if (name == "--max-time") {
    return parseWholeDecimal(value, &s.maxTimeSeconds);
  } else if (name == "--timestamps") {
    if (value == nullptr || std::strcmp(value, "iso") == 0) {
      s.timestamps = TimestampMode::kIso;
    } else if (std::strcmp(value, "elapsed") == 0) {
      s.timestamps = TimestampMode::kElapsed;
    } else {
      return false;
    }
  } else if (name == "--raw") {
    s.rawPath = value;
  } else if (name == "--wait") {
    return parseWholeDecimal(value, &s.waitSeconds);
  } else if (name == "--reconnect") {
    s.reconnect = true;
  } else if (name == "--help") {
    result.outcome = ParseOutcome::kHelp;
  } else if (name == "--version") {
    result.outcome = ParseOutcome::kVersion;
  }
  return true;
}

// Parses the long option at argv[*i], "--name", "--name=value" or "--name"
// followed by its value, advancing *i past what it consumed. Sets the
// outcome to usage when the word is unknown or its value is wrong or missing.
void parseLongOption(int argc, char** argv, int* i, CaptureSettings& s, ParseResult& result) {
  const char* arg = argv[*i];
  const char* equals = std::strchr(arg, '=');
  std::string_view name = equals != nullptr ? std::string_view(arg, equals - arg) : arg;
  const char* value = equals != nullptr ? equals + 1 : nullptr;
  const OptionWord* option = findLongOption(name);
  bool valid = option != nullptr;
  if (valid && option->takesValue && value == nullptr) {
    valid = *i + 1 < argc;
    if (valid) value = argv[++*i];
  } else if (valid && !option->takesValue && !option->optionalValue) {
    valid = value == nullptr;
  }
  if (!valid || !applyLongOption(name, value, s, result)) result.outcome = ParseOutcome::kUsage;
}

bool isLongOption(const char* arg) {
  return arg[0] == '-' && arg[1] == '-';
}

}  // namespace

ParseResult parseCommandLine(int argc, char** argv, CaptureSettings& settings, std::FILE* out) {
  ParseResult result;
  if (argc <= 1) {
    result.outcome = ParseOutcome::kListPorts;
    return result;
  }
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    // Option words all begin with '-', so a port argument can be told apart
    // before them; an option's value is consumed without being tested.
    if (isPortArgument(arg)) {
      settings.portName = portNameOf(argv[i]);
    } else if (isLongOption(arg)) {
      parseLongOption(argc, argv, &i, settings, result);
      if (result.outcome != ParseOutcome::kRun) return result;
    } else if (takesValue(arg)) {
      if (i + 1 >= argc) {
        result.outcome = ParseOutcome::kUsage;
        return result;
      }
      if (!applyValueOption(arg, argv[++i], settings, out)) {
        result.outcome = ParseOutcome::kMarkerOrder;
        return result;
      }
    } else if (!applyFlag(arg, settings, result)) {
      result.outcome = ParseOutcome::kUsage;
      return result;
    }
  }
  if (settings.logLevel >= 1) {
    std::fprintf(out, ">>>options: -t %d -f %s ", settings.timeoutSeconds, settings.outputPath);
  }
  return result;
}
