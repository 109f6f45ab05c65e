#include "control/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "control/usage.h"
#include "testing/command_line_parse.h"
#include "testing/console_capture.h"

namespace {

TEST(ParseDecimal, ReadsLikeTheCommandLineNumbers) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"5", 5},
      {"-1", -1},
      {"+42", 42},
      {"  \t17", 17},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"99999999999999999999999999", INT32_MAX},
      {"-99999999999999999999999999", INT32_MIN},
      {"0x10", 0},
      {"1 2", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(parseDecimal(c.text), c.value) << c.text;
}

TEST(CommandLine, NoArgumentsListsPorts) {
  CaptureSettings settings;
  char name[] = "sercap";
  char* argv[] = {name};
  EXPECT_EQ(parseCommandLine(1, argv, settings, stdout).outcome, ParseOutcome::kListPorts);
  EXPECT_EQ(parseCommandLine(0, argv, settings, stdout).outcome, ParseOutcome::kListPorts);
}

// The defaults as a user meets them: in the debug options line and in the
// usage text's line of the settings, which shows what the parse left.
TEST(CommandLine, DefaultsAsTheUserSeesThem) {
  CommandLine line;
  Parsed p = line.parse({"COM7", "-d"});
  ASSERT_EQ(p.result.outcome, ParseOutcome::kRun);
  EXPECT_EQ(p.output, ">>>options: -t 20 -f zurout.spt ");
  ConsoleCapture usage;
  printUsage(usage.stream(), "sercap", p.settings);
  EXPECT_NE(usage.text().find("\ndefault is COM7 -t 20 -f zurout.spt -r 9600 , no parity(0), 1 "
                              "stopBit(0), DTR&RTS flowctrl Enabled (1)\n"),
            std::string::npos)
      << usage.text();
  EXPECT_EQ(line.parse({"COM7"}).output, "");
}

TEST(CommandLine, EachOptionSetsItsField) {
  CommandLine line;
  Parsed p = line.parse({"-f", "out.txt", "-r", "115200", "-t", "-1", "-pe", "-d2", "-progress",
                         "-filteroff", "-nov", "-s", "2", "-flowctrl", "0", "-setsignal",
                         "SETDTR,CLRRTS", "/dev/ttyUSB3"});
  ASSERT_EQ(p.result.outcome, ParseOutcome::kRun);
  const CaptureSettings& s = p.settings;
  EXPECT_STREQ(s.outputPath, "out.txt");
  EXPECT_EQ(s.baudRate, 115200);
  EXPECT_EQ(s.timeoutSeconds, -1);
  EXPECT_EQ(s.parityCode, 2);
  EXPECT_STREQ(s.parityName, "even");
  EXPECT_EQ(s.logLevel, 2);
  EXPECT_TRUE(s.progress);
  EXPECT_TRUE(s.filterOff);
  EXPECT_TRUE(s.waitForEachTransmission);
  EXPECT_EQ(s.stopBitCode, 2);
  EXPECT_EQ(s.stopBitsShown(), 2);
  EXPECT_EQ(s.flowControl, 0);
  EXPECT_STREQ(s.signalList, "SETDTR,CLRRTS");
  EXPECT_STREQ(s.portName, "/dev/ttyUSB3");
  EXPECT_EQ(p.output, ">>>options: -t -1 -f out.txt ");
}

TEST(CommandLine, LaterOccurrencesAndOrderRules) {
  CommandLine line;
  // The last port wins, whichever form it has; "COM" in any case makes a
  // port argument, kept as typed.
  EXPECT_STREQ(line.parse({"COM3", "/dev/ttyS1", "COM12"}).settings.portName, "COM12");
  EXPECT_STREQ(line.parse({"-d", "com3"}).settings.portName, "com3");
  EXPECT_STREQ(line.parse({"cOm7", "-t", "5"}).settings.portName, "cOm7");
  EXPECT_EQ(line.parse({"co3"}).result.outcome, ParseOutcome::kUsage);
  // Network ports are ports in either scheme and any case, the address
  // checked only when the port is opened; a bare host is no port.
  EXPECT_STREQ(line.parse({"COM3", "rfc2217://[::1]:2217"}).settings.portName,
               "rfc2217://[::1]:2217");
  EXPECT_STREQ(line.parse({"TCP://host:x", "-t", "5"}).settings.portName, "TCP://host:x");
  EXPECT_STREQ(line.parse({"tcp://h:1", "COM2"}).settings.portName, "COM2");
  EXPECT_EQ(line.parse({"host:2217"}).result.outcome, ParseOutcome::kUsage);
  EXPECT_EQ(line.parse({"tcp:/host:1"}).result.outcome, ParseOutcome::kUsage);
  // "-s" can only select two stop bits.
  EXPECT_EQ(line.parse({"-s", "1"}).settings.stopBitCode, 0);
  EXPECT_EQ(line.parse({"-s", "2", "-s", "1"}).settings.stopBitCode, 2);
  // "-po" then "-pe": the last wins.
  Parsed parity = line.parse({"-pe", "-po"});
  EXPECT_EQ(parity.settings.parityCode, 1);
  EXPECT_STREQ(parity.settings.parityName, "odd");
  // "-d" after "-d2" lowers the level.
  EXPECT_EQ(line.parse({"-d2", "-d"}).settings.logLevel, 1);
  // A value is consumed whatever it looks like.
  Parsed fileD = line.parse({"-f", "-d"});
  EXPECT_STREQ(fileD.settings.outputPath, "-d");
  EXPECT_EQ(fileD.settings.logLevel, 0);
  EXPECT_STREQ(line.parse({"-f", "COM4"}).settings.outputPath, "COM4");
  EXPECT_STREQ(line.parse({"-f", "COM4"}).settings.portName, "COM1");
}

TEST(CommandLine, TransmissionCount) {
  struct Case {
    std::vector<std::string> args;
    const char* text;
    int32_t count;
  } cases[] = {
      {{"-tx", "go"}, "go", 1},
      {{"-ntx", "3", "-tx", "go"}, "go", 3},
      {{"-tx", "go", "-ntx", "5"}, "go", 5},
      {{"-ntx", "2"}, "^", 2},
      {{"-ntx", "-1"}, "^", -1},
      {{"-tx", "a", "-tx", "b"}, "b", 1},
  };
  CommandLine line;
  for (const Case& c : cases) {
    Parsed p = line.parse(c.args);
    EXPECT_STREQ(p.settings.txString, c.text) << c.args[0];
    EXPECT_EQ(p.settings.txCount, c.count) << c.args[0];
  }
}

TEST(CommandLine, Markers) {
  CommandLine line;
  Parsed md = line.parse({"-md", "-ms", "<", "-me", ">"});
  ASSERT_EQ(md.result.outcome, ParseOutcome::kRun);
  EXPECT_EQ(md.settings.beginMarker, '<');
  EXPECT_EQ(md.settings.endMarker, '>');
  EXPECT_TRUE(md.settings.showRejected);
  EXPECT_FALSE(md.result.startInSegment);

  Parsed mh = line.parse({"-mh"});
  EXPECT_EQ(mh.settings.beginMarker, '^');
  EXPECT_EQ(mh.settings.endMarker, '^');
  EXPECT_FALSE(mh.settings.showRejected);
  EXPECT_FALSE(mh.result.startInSegment);

  // "-mh" after "-ms"/"-me" resets both markers to '^'.
  Parsed reset = line.parse({"-mh", "-ms", "<", "-me", ">", "-mh"});
  EXPECT_EQ(reset.settings.beginMarker, '^');
  EXPECT_EQ(reset.settings.endMarker, '^');

  // An empty value disables that marker.
  Parsed empty = line.parse({"-mh", "-me", ""});
  EXPECT_EQ(empty.settings.endMarker, 0);
  EXPECT_EQ(empty.settings.beginMarker, '^');
}

TEST(CommandLine, MarkerOrderStops) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-me", "x"}, "-md|-mh option must be set before -me\n"},
      {{"-ms", "x"}, "-md|-mh option must be set before -ms\n"},
      // The test looks at the marker's value: a second "-me" fails once the
      // first set something other than '^'.
      {{"-md", "-me", ">", "-me", ">"}, "-md|-mh option must be set before -me\n"},
      {{"-d", "-mh", "-ms", "", "-ms", "<"}, "-md|-mh option must be set before -ms\n"},
  };
  CommandLine line;
  for (const Case& c : cases) {
    Parsed p = line.parse(c.args);
    EXPECT_EQ(p.result.outcome, ParseOutcome::kMarkerOrder) << c.args.size();
    // No debug options line on a marker-order stop.
    EXPECT_EQ(p.output, c.message);
  }
  EXPECT_EQ(line.parse({"-md", "-me", "^", "-me", ">"}).result.outcome, ParseOutcome::kRun);
}

TEST(CommandLine, UsageOutcomes) {
  const std::vector<std::string> cases[] = {
      {"-help"},      {"-x"},         {"COM3", "-help"}, {"-D"}, {"-t"},
      {"COM1", "-f"}, {"-setsignal"}, {"-md", "-me"},    {""},   {"-d", "extra"},
  };
  CommandLine line;
  for (const auto& args : cases) {
    Parsed p = line.parse(args);
    EXPECT_EQ(p.result.outcome, ParseOutcome::kUsage) << args.back();
    EXPECT_EQ(p.output, "") << args.back();
  }
  // Settings parsed before the unrecognised argument stand.
  Parsed p = line.parse({"-r", "300", "-pe", "COM3", "-x", "-r", "5"});
  EXPECT_EQ(p.settings.baudRate, 300);
  EXPECT_STREQ(p.settings.portName, "COM3");
}

// The option table is what the documentation is checked against: each word in
// it must be one the parser knows, taking a value exactly when the table says.
TEST(CommandLine, OptionTableMatchesTheParser) {
  CommandLine line;
  for (const OptionWord& option : kOptionWords) {
    // Marker options are only accepted after "-mh"; the dialogue's pairs
    // only whole.
    const std::string word = option.word;
    std::vector<std::string> before;
    std::vector<std::string> after;
    if (word == "-ms" || word == "-me") before = {"-mh"};
    if (word == "--send") before = {"--expect", "x"};
    if (word == "--expect") after = {"--send", "y"};
    auto parse = [&](std::vector<std::string> rest) {
      std::vector<std::string> args = before;
      args.push_back(word);
      args.insert(args.end(), rest.begin(), rest.end());
      if (!rest.empty()) args.insert(args.end(), after.begin(), after.end());
      return line.parse(args).result.outcome;
    };
    if (option.takesValue) {
      EXPECT_EQ(parse({}), ParseOutcome::kUsage) << word << " without its value";
      // "-1" is no option word, but a value every option takes.
      EXPECT_EQ(parse({"-1"}), ParseOutcome::kRun) << word << " takes the next argument";
    } else if (word == "--help" || word == "--version") {
      EXPECT_EQ(parse({}), word == "--help" ? ParseOutcome::kHelp : ParseOutcome::kVersion);
    } else {
      EXPECT_EQ(parse({}), ParseOutcome::kRun) << word << " is a flag";
      EXPECT_EQ(parse({"-unknown"}), ParseOutcome::kUsage) << word << " leaves the next argument";
    }
  }
}

TEST(CommandLine, DebugOptionsLineOnlyWhenRunning) {
  CommandLine line;
  EXPECT_EQ(line.parse({"-d", "-t", "5", "COM2"}).output, ">>>options: -t 5 -f zurout.spt ");
  EXPECT_EQ(line.parse({"-d2", "-f", "x.txt"}).output, ">>>options: -t 20 -f x.txt ");
  EXPECT_EQ(line.parse({"-t", "5"}).output, "");
  EXPECT_EQ(line.parse({"-d", "-bogus"}).output, "");
}

}  // namespace
