// The command-line parser run in a test on a list of arguments, with what it
// printed. The argument strings live as long as the CommandLine, since the
// settings borrow them.
#pragma once

#include <string>
#include <vector>

#include "control/command_line.h"
#include "testing/console_capture.h"

struct Parsed {
  ParseResult result;
  ParseOutcome outcome;  // result.outcome
  CaptureSettings settings;
  std::string output;
};

class CommandLine {
 public:
  // `args` without the program name, which is added.
  Parsed parse(std::vector<std::string> args) {
    args_ = std::move(args);
    args_.insert(args_.begin(), "sercap");
    argv_.clear();
    for (std::string& arg : args_) argv_.push_back(arg.data());
    Parsed parsed;
    ConsoleCapture console;
    parsed.result = parseCommandLine(static_cast<int>(argv_.size()), argv_.data(), parsed.settings,
                                     console.stream());
    parsed.outcome = parsed.result.outcome;
    parsed.output = console.text();
    return parsed;
  }

 private:
  std::vector<std::string> args_;
  std::vector<char*> argv_;
};
