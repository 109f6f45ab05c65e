#include "sim_options.h"

#include <charconv>
#include <string_view>

namespace {

bool parseCount(std::string_view text, long min, long max, long* out) {
  long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return false;
  *out = value;
  return true;
}

// Longest pause or hold we accept: a day, in the unit of the option.
constexpr long kDaySeconds = 24L * 60 * 60;
constexpr long kDayMs = kDaySeconds * 1000;

}  // namespace

SimCommand parseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                           std::string* error) {
  bool haveReport = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (name.rfind("--", 0) == 0) {
      if (const size_t eq = name.find('='); eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
        inlineValue = true;
      }
    }

    auto flag = [&]() {
      if (inlineValue) *error = "option " + name + " takes no value";
      return !inlineValue;
    };
    auto takeValue = [&]() {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto number = [&](long min, long max, long* out) {
      if (!takeValue()) return false;
      if (parseCount(value, min, max, out)) return true;
      *error = "option " + name + ": '" + value + "' is not a whole number from " +
               std::to_string(min) + " to " + std::to_string(max);
      return false;
    };
    auto report = [&](SimOptions::Source source, std::string* into) {
      if (into != nullptr && !takeValue()) return false;
      if (haveReport) {
        *error = "give only one of --report, --text and --board";
        return false;
      }
      haveReport = true;
      options->source = source;
      if (into != nullptr) *into = value;
      return true;
    };

    bool ok = true;
    if (name == "--help" || name == "-h") {
      if (!flag()) return SimCommand::Error;
      return SimCommand::Help;
    } else if (name == "--link") {
      ok = takeValue();
      if (ok && (value.empty() || value == "." || value == ".." ||
                 value.find('/') != std::string::npos)) {
        *error = "option --link needs a port name such as COM7, got '" + value + "'";
        ok = false;
      }
      if (ok) options->linkName = value;
    } else if (name == "--report") {
      ok = report(SimOptions::Source::File, &options->reportPath);
    } else if (name == "--text") {
      ok = report(SimOptions::Source::Text, &options->reportText);
    } else if (name == "--board") {
      ok = flag() && report(SimOptions::Source::Board, nullptr);
    } else if (name == "--raw") {
      ok = flag();
      options->raw = true;
    } else if (name == "--rate") {
      ok = number(1, 100'000'000, &options->rate);
    } else if (name == "--repeat") {
      ok = number(0, 1'000'000'000, &options->repeat);
    } else if (name == "--wait-rx") {
      ok = flag();
      options->waitRx = true;
    } else if (name == "--delay") {
      ok = number(0, kDayMs, &options->delayMs);
    } else if (name == "--record") {
      ok = takeValue();
      options->recordPath = value;
    } else if (name == "--times") {
      ok = takeValue();
      options->timesPath = value;
    } else if (name == "--hold") {
      ok = number(0, kDaySeconds, &options->holdSeconds);
    } else if (name == "--hangup-after-play") {
      ok = flag();
      options->hangupAfterPlay = true;
    } else if (name == "--lifetime") {
      ok = number(1, kDaySeconds, &options->lifetimeSeconds);
    } else {
      *error = "unknown argument '" + args[i] + "'";
      ok = false;
    }
    if (!ok) return SimCommand::Error;
    if ((name == "--record" || name == "--times") && value.empty()) {
      *error = "option " + name + " needs a file name";
      return SimCommand::Error;
    }
  }
  return SimCommand::Run;
}

const char* simUsage() {
  return R"(usage: sercap-sim [options]
A simulated device on a pseudo-terminal. Prints the terminal's path on the
first line of standard output, plays a report into it and records what it
receives.

  --link COMn         publish the terminal as COMn in the port map
                      ($XDG_CONFIG_HOME/sercap/ports, else ~/.config/sercap/ports);
                      the link is removed on exit
  --report FILE       play the text of FILE (escapes below)
  --text STRING       play STRING (escapes below)
                      default: a built-in sample that ends with the end phrase
  --board             be a board that speaks no end mark: a boot log, then
                      "Hit any key to stop autoboot:  3" counting down with
                      backspaces and no line feed, standing at 0 until a key
                      comes; the key gives the "=> " prompt, where
                      "run selftest" runs a self-test and boots to "login: "
                      ("boot" boots, "help" lists). It powers on when the
                      line is emptied (as sercap does when it opens the port)
                      or receives its first byte; --raw, --rate, --repeat and
                      --wait-rx do not apply
  --raw               play the report byte for byte, no escapes
  --rate N            pace the output to N bytes per second (default: as fast
                      as the line takes them)
  --repeat N          play the report N times (default 1)
  --wait-rx           play only after the first byte has been received
  --delay MS          wait MS milliseconds before playing, counted after the
                      first byte with --wait-rx (default 0)
  --record FILE       write every received byte to FILE
  --times FILE        write a line "MS HH" per received byte to FILE: milliseconds
                      since start and the byte in hex
  --hold SECONDS      stay up, recording, until SECONDS after start and the
                      report has been played (default 3); then hang up and exit
  --hangup-after-play hang up and exit as soon as the report has been played
  --lifetime SECONDS  exit after SECONDS whatever the state: status 0 if the
                      report had been played, 1 otherwise (default: no limit)
  --help              this text

Before hanging up it waits, at most 3 seconds, until the reader of the line
has taken what was played: a hang-up discards unread bytes.

Escapes: \n \r \t \\ \xHH (any byte) and \p<ms>; (pause, e.g. \p1500;).
Exit status: 0 done or stopped by SIGINT/SIGTERM, 1 failure, 2 bad arguments
or report.
)";
}
