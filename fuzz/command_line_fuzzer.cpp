// Fuzzes the command-line parser: the input, split on NUL bytes, is the
// argument list. Each run is checked against a reference parser written
// straight from the option table, plus the properties every outcome must
// have whatever the model says. Also checks parseDecimal() against strtoll.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/command_line.h"

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

struct ModelResult {
  ParseOutcome outcome = ParseOutcome::kRun;
  bool startInSegment = true;
  CaptureSettings settings;
  std::string output;
};

// Whether `text` is a whole signed decimal number.
bool wholeNumber(const std::string& text) {
  const size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  return text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
}

// A long option at argv[*i]: "--name", "--name=value", or "--name" and the
// next argument. Returns false when the parse stops there.
bool referenceLongOption(int argc, char** argv, int* i, ModelResult& m) {
  CaptureSettings& s = m.settings;
  const std::string a = argv[*i];
  const size_t equals = a.find('=');
  const std::string name = a.substr(0, equals);
  const char* inline_value = equals == std::string::npos ? nullptr : argv[*i] + equals + 1;
  auto stop = [&](ParseOutcome outcome) {
    m.outcome = outcome;
    return false;
  };
  auto value = [&]() -> const char* {
    if (inline_value != nullptr) return inline_value;
    if (*i + 1 >= argc) return nullptr;
    return argv[++*i];
  };
  if (name == "--summary" || name == "--raw" || name == "--fail-on" || name == "--max-time") {
    const char* v = value();
    if (v == nullptr) return stop(ParseOutcome::kUsage);
    if (name == "--summary") s.summaryPath = v;
    if (name == "--raw") s.rawPath = v;
    if (name == "--fail-on") {
      if (*v == '\0') return stop(ParseOutcome::kUsage);
      s.failTexts.push_back(v);
    }
    if (name == "--max-time") {
      if (!wholeNumber(v)) return stop(ParseOutcome::kUsage);
      s.maxTimeSeconds = referenceDecimal(v);
    }
    return true;
  }
  if (name == "--timestamps") {
    const std::string v = inline_value == nullptr ? "iso" : inline_value;
    if (v != "iso" && v != "elapsed") return stop(ParseOutcome::kUsage);
    s.timestamps = v == "iso" ? TimestampMode::kIso : TimestampMode::kElapsed;
    return true;
  }
  if (inline_value != nullptr) return stop(ParseOutcome::kUsage);
  if (name == "--expect-end") {
    s.expectEnd = true;
    return true;
  }
  if (name == "--help") return stop(ParseOutcome::kHelp);
  if (name == "--version") return stop(ParseOutcome::kVersion);
  return stop(ParseOutcome::kUsage);
}

// The option table, rule by rule in its order; the first rule that matches
// applies. An option missing its value ends with the usage outcome.
ModelResult referenceParse(int argc, char** argv) {
  ModelResult m;
  CaptureSettings& s = m.settings;
  if (argc <= 1) {
    m.outcome = ParseOutcome::kListPorts;
    return m;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    const char* value = hasValue ? argv[i + 1] : nullptr;
    auto needsValue = [&]() {
      if (!hasValue) m.outcome = ParseOutcome::kUsage;
      return hasValue;
    };
    if (a == "-f") {
      if (!needsValue()) return m;
      s.outputPath = value;
      ++i;
    } else if (a.rfind("COM", 0) == 0 || (!a.empty() && a[0] == '/')) {
      s.portName = argv[i];
    } else if (a == "-r") {
      if (!needsValue()) return m;
      s.baudRate = referenceDecimal(value);
      ++i;
    } else if (a == "-t") {
      if (!needsValue()) return m;
      s.timeoutSeconds = referenceDecimal(value);
      ++i;
    } else if (a == "-md") {
      s.showRejected = true;
      s.beginMarker = s.endMarker = '^';
      m.startInSegment = false;
    } else if (a == "-mh") {
      s.beginMarker = s.endMarker = '^';
      m.startInSegment = false;
    } else if (a == "-me") {
      if (!needsValue()) return m;
      if (s.endMarker != '^') {
        m.outcome = ParseOutcome::kMarkerOrder;
        m.output = kEndMarkerOrder;
        return m;
      }
      s.endMarker = static_cast<uint8_t>(value[0]);
      ++i;
    } else if (a == "-ms") {
      if (!needsValue()) return m;
      if (s.beginMarker != '^') {
        m.outcome = ParseOutcome::kMarkerOrder;
        m.output = kBeginMarkerOrder;
        return m;
      }
      s.beginMarker = static_cast<uint8_t>(value[0]);
      ++i;
    } else if (a == "-pe") {
      s.parityCode = 2;
      s.parityName = "even";
    } else if (a == "-po") {
      s.parityCode = 1;
      s.parityName = "odd";
    } else if (a == "-d2") {
      s.logLevel = 2;
    } else if (a == "-d") {
      s.logLevel = 1;
    } else if (a == "-progress") {
      s.progress = true;
    } else if (a == "-filteroff") {
      s.filterOff = true;
    } else if (a == "-nov") {
      s.useOverlapped = false;
    } else if (a == "-tx") {
      if (!needsValue()) return m;
      s.txString = value;
      if (s.txCount == 0) s.txCount = 1;
      ++i;
    } else if (a == "-ntx") {
      if (!needsValue()) return m;
      s.txCount = referenceDecimal(value);
      ++i;
    } else if (a == "-s") {
      if (!needsValue()) return m;
      if (referenceDecimal(value) == 2) s.stopBitCode = 2;
      ++i;
    } else if (a == "-flowctrl") {
      if (!needsValue()) return m;
      s.flowControl = referenceDecimal(value);
      ++i;
    } else if (a == "-setsignal") {
      if (!needsValue()) return m;
      s.signalList = value;
      ++i;
    } else if (a.rfind("--", 0) == 0) {
      if (!referenceLongOption(argc, argv, &i, m)) return m;
    } else {
      m.outcome = ParseOutcome::kUsage;
      return m;
    }
  }
  if (s.logLevel >= 1) {
    m.output = ">>>options: -t " + std::to_string(s.timeoutSeconds) + " -f " + s.outputPath + " ";
  }
  return m;
}

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
      if (std::strncmp(a, "COM", 3) == 0 || a[0] == '/') continue;
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
    check(std::strncmp(s.portName, "COM", 3) == 0 || s.portName[0] == '/', "port argument form");
  }
}

void checkAgainstModel(const ParseResult& result, const CaptureSettings& s, const std::string& out,
                       const ModelResult& m) {
  const CaptureSettings& e = m.settings;
  check(result.outcome == m.outcome, "outcome as the reference");
  check(result.startInSegment == m.startInSegment, "startInSegment");
  check(out == m.output, "console output as the reference");
  check(s.portName == e.portName, "portName");
  check(s.outputPath == e.outputPath, "outputPath");
  check(s.baudRate == e.baudRate, "baudRate");
  check(s.parityCode == e.parityCode, "parityCode");
  check(std::strcmp(s.parityName, e.parityName) == 0, "parityName");
  check(s.stopBitCode == e.stopBitCode, "stopBitCode");
  check(s.flowControl == e.flowControl, "flowControl");
  check(s.timeoutSeconds == e.timeoutSeconds, "timeoutSeconds");
  check(s.logLevel == e.logLevel, "logLevel");
  check(s.progress == e.progress, "progress");
  check(s.filterOff == e.filterOff, "filterOff");
  check(s.showRejected == e.showRejected, "showRejected");
  check(s.beginMarker == e.beginMarker, "beginMarker");
  check(s.endMarker == e.endMarker, "endMarker");
  check(s.useOverlapped == e.useOverlapped, "useOverlapped");
  check(s.txString == e.txString, "txString");
  check(s.txCount == e.txCount, "txCount");
  check(s.signalList == e.signalList, "signalList");
  check(s.summaryPath == e.summaryPath, "summaryPath");
  check(s.rawPath == e.rawPath, "rawPath");
  check(s.failTexts == e.failTexts, "failTexts");
  check(s.expectEnd == e.expectEnd, "expectEnd");
  check(s.maxTimeSeconds == e.maxTimeSeconds, "maxTimeSeconds");
  check(s.timestamps == e.timestamps, "timestamps");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ArgumentList args(data, size);

  for (int i = 1; i < args.argc(); ++i) {
    const char* text = args.argv()[i];
    check(parseDecimal(text) == referenceDecimal(text), "parseDecimal as strtoll, clamped");
  }

  char* buffer = nullptr;
  size_t length = 0;
  std::FILE* out = open_memstream(&buffer, &length);
  if (out == nullptr) std::abort();
  CaptureSettings settings;
  ParseResult result = parseCommandLine(args.argc(), args.argv(), settings, out);
  std::fclose(out);
  const std::string output(buffer, length);
  std::free(buffer);

  checkProperties(result, settings, output, args);
  checkAgainstModel(result, settings, output, referenceParse(args.argc(), args.argv()));
  return 0;
}
