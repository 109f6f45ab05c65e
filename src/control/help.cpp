// The --help text, made from the parser's option table so that it names
// every option the parser knows, each under its group.
#include "control/help.h"

#include <string>

#include "control/command_line.h"

#ifndef SERCAP_VERSION
#error "SERCAP_VERSION must be defined by the build (from the VERSION file)"
#endif

namespace {

constexpr int kSyntaxWidth = 27;

struct GroupHeading {
  OptionGroup group;
  const char* heading;
};

// In the order --help shows the groups.
constexpr GroupHeading kGroups[] = {
    {OptionGroup::kPortAndFile, "Port and file:"},
    {OptionGroup::kLineSettings, "Line settings:"},
    {OptionGroup::kWhatIsKept, "What is kept:"},
    {OptionGroup::kEndOfRun, "End of the run:"},
    {OptionGroup::kTransmissions, "Transmissions and signals:"},
    {OptionGroup::kConsole, "Console:"},
    {OptionGroup::kTestRacks, "Test racks:"},
};

void printLine(std::FILE* out, const std::string& syntax, const char* help) {
  std::fprintf(out, "  %-*s %s\n", kSyntaxWidth, syntax.c_str(), help);
}

}  // namespace

void printVersion(std::FILE* out, const char* program) {
  std::fprintf(out, "%s version %s\n", program, SERCAP_VERSION);
}

const char* groupHeading(OptionGroup group) {
  for (const GroupHeading& g : kGroups) {
    if (g.group == group) return g.heading;
  }
  return "";
}

void printHelp(std::FILE* out, const char* program) {
  std::fprintf(out, "usage: %s [port] [options]\n", program);
  for (const GroupHeading& group : kGroups) {
    std::fprintf(out, "%s\n", group.heading);
    if (group.group == OptionGroup::kPortAndFile) {
      printLine(out, "COMn | /dev/...", "the serial port (default COM1)");
      printLine(out, "rfc2217://HOST:PORT",
                "a serial port on another machine, set through its server");
      printLine(out, "tcp://HOST:PORT", "a network port as raw bytes (nothing is set)");
    }
    for (const OptionWord& option : kOptionWords) {
      if (option.group != group.group) continue;
      std::string syntax = option.word;
      if (option.takesValue) syntax += ' ';
      syntax += option.valueName;
      printLine(out, syntax, option.help);
    }
  }
  std::fputs("Without arguments, the serial ports present are listed.\n", out);
}
