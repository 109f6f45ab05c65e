// The --help text, made from the parser's option table so that it names
// every option the parser knows.
#include "control/help.h"

#include <string>

#include "control/command_line.h"

#ifndef SERCAP_VERSION
#error "SERCAP_VERSION must be defined by the build (from the VERSION file)"
#endif

namespace {

constexpr int kSyntaxWidth = 27;

void printLine(std::FILE* out, const std::string& syntax, const char* help) {
  std::fprintf(out, "  %-*s %s\n", kSyntaxWidth, syntax.c_str(), help);
}

}  // namespace

void printVersion(std::FILE* out, const char* program) {
  std::fprintf(out, "%s version %s\n", program, SERCAP_VERSION);
}

void printHelp(std::FILE* out, const char* program) {
  std::fprintf(out, "usage: %s [port] [options]\n", program);
  printLine(out, "COMn | /dev/...", "the serial port (default COM1)");
  for (const OptionWord& option : kOptionWords) {
    std::string syntax = option.word;
    if (option.takesValue) syntax += ' ';
    syntax += option.valueName;
    printLine(out, syntax, option.help);
  }
  std::fputs("Without arguments, the serial ports present are listed.\n", out);
}
