// Fuzzes the command-line parser: the input, split on NUL bytes, is the
// argument list. Checks properties that hold whatever the options are: no
// crash or undefined behaviour; an outcome and console text that fit each
// other; settings within their ranges; numbers read as strtoll reads them,
// clamped to 32 bits; and, for an argument list that parses to a run, what
// appending one more option does (a value option standing last gives the
// usage text, an unknown word too, a flag keeps the run, a number option
// takes its clamped value, "--name=value" reads as "--name value").
#include <strings.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "control/command_line.h"
#include "control/escaped_text.h"

namespace {

constexpr char kEndMarkerOrder[] = "-md|-mh option must be set before -me\n";
constexpr char kBeginMarkerOrder[] = "-md|-mh option must be set before -ms\n";

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

// strtoll reads the same leading-number form; only the clamping is ours.
int32_t referenceDecimal(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// The argument list as main() gets it: NUL-terminated pieces in one buffer,
// the program name first, a null pointer after the last.
class ArgumentList {
 public:
  ArgumentList(const uint8_t* data, size_t size) {
    static const char kProgram[] = "sercap";
    storage_.assign(kProgram, kProgram + sizeof kProgram);
    std::vector<size_t> starts = {0};
    if (size > 0) {
      starts.push_back(storage_.size());
      for (size_t i = 0; i < size; ++i) {
        storage_.push_back(static_cast<char>(data[i]));
        if (data[i] == 0) starts.push_back(storage_.size());
      }
      storage_.push_back('\0');
    }
    for (size_t start : starts) argv_.push_back(storage_.data() + start);
    argc_ = static_cast<int>(argv_.size());
    argv_.push_back(nullptr);
  }

  int argc() const { return argc_; }
  char** argv() { return argv_.data(); }
  const char* argument(int i) const { return argv_[i]; }
  // Whether `p` is one of the arguments after the program name.
  bool isArgument(const char* p) const {
    for (int i = 1; i < argc_; ++i) {
      if (argv_[i] == p) return true;
    }
    return false;
  }
  // Whether `b` is the first byte of some argument (an empty one gives 0).
  bool isFirstByteOfArgument(uint8_t b) const {
    for (int i = 1; i < argc_; ++i) {
      if (static_cast<uint8_t>(argv_[i][0]) == b) return true;
    }
    return false;
  }

 private:
  std::vector<char> storage_;
  std::vector<char*> argv_;
  int argc_ = 0;
};

// A text field is a default or one of the arguments, never a copy.
bool borrowed(const char* field, const char* fallback, const ArgumentList& args) {
  return field == fallback || args.isArgument(field);
}

// What must hold after any parse, whatever the reference says.
void checkProperties(const ParseResult& result, const CaptureSettings& s, const std::string& out,
                     const ArgumentList& args) {
  const CaptureSettings defaults;
  const ParseOutcome o = result.outcome;
  check(o == ParseOutcome::kRun || o == ParseOutcome::kListPorts || o == ParseOutcome::kUsage ||
            o == ParseOutcome::kMarkerOrder || o == ParseOutcome::kHelp ||
            o == ParseOutcome::kVersion,
        "outcome is one of the six");
  check((o == ParseOutcome::kListPorts) == (args.argc() <= 1), "port listing iff no arguments");
  if (o == ParseOutcome::kRun && s.logLevel >= 1) {
    check(out.rfind(">>>options: -t ", 0) == 0, "debug run prints the options line");
  } else if (o == ParseOutcome::kMarkerOrder) {
    check(out == kEndMarkerOrder || out == kBeginMarkerOrder, "marker-order message");
  } else {
    check(out.empty(), "nothing printed");
  }
  check(s.stopBitCode == 0 || s.stopBitCode == 2, "stop-bit code 0 or 2");
  check(s.logLevel >= 0 && s.logLevel <= 2, "log level 0..2");
  static const char* const kParityNames[] = {"no", "odd", "even"};
  check(s.parityCode <= 2, "parity code 0..2");
  check(std::strcmp(s.parityName, kParityNames[s.parityCode]) == 0, "parity name matches code");
  for (uint8_t marker : {s.beginMarker, s.endMarker}) {
    check(marker == 0 || marker == '^' || args.isFirstByteOfArgument(marker),
          "marker is '^' or a byte from an argument");
  }
  check(borrowed(s.portName, defaults.portName, args), "portName borrowed");
  check(borrowed(s.outputPath, defaults.outputPath, args), "outputPath borrowed");
  check(borrowed(s.txString, defaults.txString, args), "txString borrowed");
  check(borrowed(s.signalList, defaults.signalList, args), "signalList borrowed");
  if (o == ParseOutcome::kRun) {
    // Every argument taken as an option is in the option table, which the
    // manual page is checked against; the table says which take a value.
    for (int i = 1; i < args.argc(); ++i) {
      const char* a = args.argument(i);
      if (strncasecmp(a, "COM", 3) == 0 || a[0] == '/') continue;
      // A long option's value may follow '=' in the same argument.
      const char* equals = std::strncmp(a, "--", 2) == 0 ? std::strchr(a, '=') : nullptr;
      const std::string word = equals != nullptr ? std::string(a, equals) : std::string(a);
      const OptionWord* known = nullptr;
      for (const OptionWord& option : kOptionWords) {
        if (word == option.word) known = &option;
      }
      check(known != nullptr, "accepted option is in the option table");
      check(equals == nullptr || known->takesValue || known->optionalValue,
            "only a long option with a value takes '='");
      if (known->takesValue && equals == nullptr) ++i;
    }
  }
  if (s.portName != defaults.portName) {
    check(strncasecmp(s.portName, "COM", 3) == 0 || s.portName[0] == '/', "port argument form");
  }
}

struct Parse {
  ParseResult result;
  CaptureSettings settings;
  std::string output;
};

Parse parse(ArgumentList& args) {
  Parse p;
  char* buffer = nullptr;
  size_t length = 0;
  std::FILE* out = open_memstream(&buffer, &length);
  if (out == nullptr) std::abort();
  p.result = parseCommandLine(args.argc(), args.argv(), p.settings, out);
  std::fclose(out);
  p.output.assign(buffer, length);
  std::free(buffer);
  return p;
}

// The input's arguments with `more` after them.
std::vector<uint8_t> appended(const uint8_t* data, size_t size,
                              std::initializer_list<const char*> more) {
  std::vector<uint8_t> bytes(data, data + size);
  for (const char* argument : more) {
    if (!bytes.empty()) bytes.push_back(0);
    bytes.insert(bytes.end(), argument, argument + std::strlen(argument));
  }
  return bytes;
}

// The input's arguments with `more` after them, parsed. The settings borrow
// the arguments, so both live here together.
struct AppendedParse {
  AppendedParse(const uint8_t* data, size_t size, std::initializer_list<const char*> more)
      : bytes(appended(data, size, more)), args(bytes.data(), bytes.size()), p(parse(args)) {}
  std::vector<uint8_t> bytes;
  ArgumentList args;
  Parse p;
};

// A debug run prints exactly the options line, with the settings it ended on.
void checkOptionsLine(const Parse& p) {
  if (p.result.outcome != ParseOutcome::kRun || p.settings.logLevel < 1) return;
  check(p.output == ">>>options: -t " + std::to_string(p.settings.timeoutSeconds) + " -f " +
                        p.settings.outputPath + " ",
        "debug options line shows the time-out and the file");
}

// The dialogue's options over a run, whose pairs are complete: a text looked
// for holds 1 to 4096 bytes once its escapes are decoded, and a pair is an
// --expect followed by its --send.
void checkDialogue(const uint8_t* data, size_t size, const std::string& word, const char* value,
                   ParseOutcome valued) {
  const std::optional<std::string> text = decodeEscapes(value);
  const bool goodText = text && !text->empty() && text->size() <= DialogueSettings::kMaxText;
  if (word == "--end-on") {
    check((valued == ParseOutcome::kRun) == goodText, "--end-on takes a good text only");
  } else {
    check(valued == ParseOutcome::kUsage, "half a pair: usage");
  }
  const AppendedParse pair(data, size, {"--expect", value, "--send", value});
  check((pair.p.result.outcome == ParseOutcome::kRun) == goodText, "a pair with a good text runs");
}

// What one more option does to an argument list that parses to a run. The
// option is chosen by the input, so that every one is tried over a run.
void checkAppending(const uint8_t* data, size_t size, const ArgumentList& args) {
  constexpr size_t kOptions = sizeof kOptionWords / sizeof kOptionWords[0];
  const OptionWord& option = kOptionWords[size % kOptions];
  const std::string word = option.word;
  // Options whose value is checked beyond being there.
  const bool dialogue = word == "--end-on" || word == "--expect" || word == "--send";
  const bool checkedValue = word == "-ms" || word == "-me" || word == "--fail-on" ||
                            word == "--max-time" || word == "--wait" || dialogue;
  const bool longOption = word.rfind("--", 0) == 0;

  const AppendedParse alone(data, size, {option.word});
  if (option.takesValue) {
    check(alone.p.result.outcome == ParseOutcome::kUsage, "a value option standing last: usage");
    check(alone.p.output.empty(), "usage outcome prints nothing itself");
  } else if (word == "--help" || word == "--version") {
    check(
        alone.p.result.outcome == (word == "--help" ? ParseOutcome::kHelp : ParseOutcome::kVersion),
        "--help and --version after a run");
  } else {
    check(alone.p.result.outcome == ParseOutcome::kRun, "a flag after a run keeps the run");
    checkOptionsLine(alone.p);
  }
  const AppendedParse unknown(data, size, {"-no-such-option"});
  check(unknown.p.result.outcome == ParseOutcome::kUsage, "an unknown word after a run: usage");

  // A number option takes the last argument's value, clamped.
  const char* value = args.argc() > 1 ? args.argument(args.argc() - 1) : "";
  const int32_t expected = referenceDecimal(value);
  const AppendedParse rate(data, size, {"-r", value});
  check(rate.p.result.outcome == ParseOutcome::kRun && rate.p.settings.baudRate == expected,
        "-r takes its value, clamped");
  const AppendedParse timeout(data, size, {"-t", value});
  check(timeout.p.result.outcome == ParseOutcome::kRun &&
            timeout.p.settings.timeoutSeconds == expected,
        "-t takes its value, clamped");
  checkOptionsLine(timeout.p);
  const AppendedParse valued(data, size, {option.word, value});
  if (!checkedValue && option.takesValue) {
    check(valued.p.result.outcome == ParseOutcome::kRun,
          "a value option with its value keeps the run");
  }
  if (dialogue) checkDialogue(data, size, word, value, valued.p.result.outcome);
  if (longOption) {
    // "--name=value" is "--name value" for an option that takes one, and the
    // usage text for one that takes none.
    const std::string joined = word + "=" + value;
    const AppendedParse inlined(data, size, {joined.c_str()});
    if (option.takesValue) {
      check(inlined.p.result.outcome == valued.p.result.outcome, "--name=value as --name value");
    } else if (!option.optionalValue) {
      check(inlined.p.result.outcome == ParseOutcome::kUsage, "'=' after a flag: usage");
    }
  }
  // The long number options take a whole number only, clamped.
  const AppendedParse maxTime(data, size, {"--max-time", value});
  if (maxTime.p.result.outcome == ParseOutcome::kRun) {
    check(maxTime.p.settings.maxTimeSeconds == expected, "--max-time takes its value, clamped");
  }
  const AppendedParse wait(data, size, {"--wait", value});
  check((wait.p.result.outcome == ParseOutcome::kRun) ==
            (maxTime.p.result.outcome == ParseOutcome::kRun),
        "--wait takes the numbers --max-time takes");
  if (wait.p.result.outcome == ParseOutcome::kRun) {
    check(wait.p.settings.waitSeconds == expected, "--wait takes its value, clamped");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ArgumentList args(data, size);
  for (int i = 1; i < args.argc(); ++i) {
    const char* text = args.argument(i);
    check(parseDecimal(text) == referenceDecimal(text), "parseDecimal as strtoll, clamped");
  }
  Parse p = parse(args);
  checkProperties(p.result, p.settings, p.output, args);
  checkOptionsLine(p);
  if (p.result.outcome == ParseOutcome::kRun) checkAppending(data, size, args);
  return 0;
}
