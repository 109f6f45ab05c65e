// The command-line parser: a port argument, or a word of the option table
// whose row applies it.
#include "control/command_line.h"

#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "control/escaped_text.h"
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

ParseOutcome parseWholeDecimal(const char* text, int32_t* value) {
  const char* p = text;
  if (*p == '+' || *p == '-') ++p;
  if (*p == '\0') return ParseOutcome::kUsage;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return ParseOutcome::kUsage;
  }
  *value = parseDecimal(text);
  return ParseOutcome::kRun;
}

namespace {

// The split marker "-md" and "-mh" set, which "-ms" and "-me" may replace.
constexpr uint8_t kSplitMarker = '^';

}  // namespace

ParseOutcome useSplitMarkers(const OptionUse& use, bool showRejected) {
  if (showRejected) use.settings.showRejected = true;
  use.settings.beginMarker = use.settings.endMarker = kSplitMarker;
  use.result.startInSegment = false;
  return ParseOutcome::kRun;
}

ParseOutcome replaceSplitMarker(const OptionUse& use, uint8_t* marker, const char* option) {
  // The marker's value at this moment decides, not whether "-md" or "-mh"
  // was seen: a second "-me" fails unless the first one set '^' again.
  if (*marker != kSplitMarker) {
    std::fprintf(use.out, "-md|-mh option must be set before %s\n", option);
    return ParseOutcome::kMarkerOrder;
  }
  *marker = static_cast<uint8_t>(use.value[0]);
  return ParseOutcome::kRun;
}

namespace {

// A text looked for in what arrives: escapes decoded, 1 to 4096 bytes.
std::optional<std::string> textToFind(const char* value) {
  std::optional<std::string> text = decodeEscapes(value);
  if (text && (text->empty() || text->size() > DialogueSettings::kMaxText)) return std::nullopt;
  return text;
}

}  // namespace

ParseOutcome addEndText(const OptionUse& use) {
  std::optional<std::string> text = textToFind(use.value);
  if (!text) return ParseOutcome::kUsage;
  use.settings.dialogue.endTexts.push_back(std::move(*text));
  return ParseOutcome::kRun;
}

ParseOutcome addExpectedText(const OptionUse& use) {
  std::optional<std::string> text = textToFind(use.value);
  if (!text || use.result.sendDue) return ParseOutcome::kUsage;
  use.settings.dialogue.steps.push_back({std::move(*text), ""});
  use.result.sendDue = true;
  return ParseOutcome::kRun;
}

// The data may be empty: a step that only waits for its text.
ParseOutcome addSentData(const OptionUse& use) {
  std::optional<std::string> data = decodeEscapes(use.value);
  if (!data || !use.result.sendDue) return ParseOutcome::kUsage;
  use.settings.dialogue.steps.back().send = std::move(*data);
  use.result.sendDue = false;
  return ParseOutcome::kRun;
}

namespace {

bool isPortArgument(const char* arg) {
  // "com3" too: Windows' device names ignore case. A path names a serial
  // device directly on POSIX systems; rfc2217:// and tcp:// name a port on
  // another machine.
  return hasComPrefix(arg) || arg[0] == '/' || isNetworkPort(arg);
}

const OptionWord* findOption(std::string_view word) {
  for (const OptionWord& option : kOptionWords) {
    if (word == option.word) return &option;
  }
  return nullptr;
}

// Applies the option at argv[*i], advancing *i past the value it consumed:
// the next argument, or for a long option ("--name=value") the text after
// '='. An unknown word, a missing value, a value given to a flag or one the
// option refuses is the usage outcome.
ParseOutcome applyOption(int argc, char** argv, int* i, CaptureSettings& settings,
                         ParseResult& result, std::FILE* out) {
  const char* arg = argv[*i];
  const bool longOption = arg[0] == '-' && arg[1] == '-';
  const char* equals = longOption ? std::strchr(arg, '=') : nullptr;
  const std::string_view word = equals != nullptr ? std::string_view(arg, equals - arg) : arg;
  const OptionWord* option = findOption(word);
  if (option == nullptr) return ParseOutcome::kUsage;
  const char* value = equals != nullptr ? equals + 1 : nullptr;
  if (option->takesValue && value == nullptr) {
    if (*i + 1 >= argc) return ParseOutcome::kUsage;
    value = argv[++*i];
  } else if (!option->takesValue && !option->optionalValue && value != nullptr) {
    return ParseOutcome::kUsage;
  }
  return option->apply(OptionUse{value, settings, result, out});
}

}  // namespace

ParseResult parseCommandLine(int argc, char** argv, CaptureSettings& settings, std::FILE* out) {
  ParseResult result;
  if (argc <= 1) {
    result.outcome = ParseOutcome::kListPorts;
    return result;
  }
  for (int i = 1; i < argc; ++i) {
    // Option words all begin with '-', so a port argument can be told apart
    // before them; an option's value is consumed without being tested.
    if (isPortArgument(argv[i])) {
      settings.portName = portNameOf(argv[i]);
      continue;
    }
    result.outcome = applyOption(argc, argv, &i, settings, result, out);
    if (result.outcome != ParseOutcome::kRun) return result;
  }
  if (result.sendDue) {
    result.outcome = ParseOutcome::kUsage;
    return result;
  }
  if (settings.logLevel >= 1) {
    std::fprintf(out, ">>>options: -t %d -f %s ", settings.timeoutSeconds, settings.outputPath);
  }
  return result;
}
