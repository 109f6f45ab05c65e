// Command line of sercap-sim.
#pragma once

#include <string>
#include <vector>

struct SimOptions {
  enum class Source { Sample, File, Text, Board };

  std::string linkName;  // COMn to publish in the port map; empty: none
  Source source = Source::Sample;
  std::string reportPath;  // with Source::File
  std::string reportText;  // with Source::Text
  bool raw = false;        // take the report byte for byte, no escapes
  long rate = 0;           // bytes per second; 0: as fast as the line takes them
  long repeat = 1;
  bool waitRx = false;  // play only after the first received byte
  long delayMs = 0;
  std::string recordPath;
  std::string timesPath;
  long holdSeconds = 3;  // stay up at least this long after start
  bool hangupAfterPlay = false;
  long lifetimeSeconds = 0;  // hard limit on the run; 0: none

  bool operator==(const SimOptions&) const = default;
};

enum class SimCommand { Run, Help, Error };

// Parses the arguments after the program name. On Error, *error says why.
SimCommand parseSimOptions(const std::vector<std::string>& args, SimOptions* options,
                           std::string* error);

// The --help text.
const char* simUsage();
