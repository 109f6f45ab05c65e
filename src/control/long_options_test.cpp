// The long options: both value forms, what each sets, and every way a long
// option ends in the usage text instead.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "control/command_line.h"
#include "control/help.h"
#include "testing/command_line_parse.h"
#include "testing/console_capture.h"

namespace {

TEST(LongOptions, ValueWithEqualsOrAsTheNextArgument) {
  CommandLine line;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--summary", "s.json", "--raw", "r.bin", "--max-time", "90", "--fail-on", "PANIC"},
           {"--summary=s.json", "--raw=r.bin", "--max-time=90", "--fail-on=PANIC"}}) {
    Parsed p = line.parse(args);
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << args[0];
    EXPECT_STREQ(p.settings.summaryPath, "s.json");
    EXPECT_STREQ(p.settings.rawPath, "r.bin");
    EXPECT_EQ(p.settings.maxTimeSeconds, 90);
    ASSERT_EQ(p.settings.failTexts.size(), 1u);
    EXPECT_STREQ(p.settings.failTexts[0], "PANIC");
  }
}

TEST(LongOptions, EachSetsOnlyItsOwnField) {
  CommandLine line;
  Parsed none = line.parse({"COM2", "-d", "-t", "5"});
  EXPECT_EQ(none.settings.summaryPath, nullptr);
  EXPECT_EQ(none.settings.rawPath, nullptr);
  EXPECT_TRUE(none.settings.failTexts.empty());
  EXPECT_FALSE(none.settings.expectEnd);
  EXPECT_LT(none.settings.maxTimeSeconds, 0);
  EXPECT_EQ(none.settings.timestamps, TimestampMode::kOff);

  // Long options leave the single-dash options' settings and the debug line alone.
  Parsed all = line.parse({"COM2", "--expect-end", "-d", "--timestamps", "-t", "5", "--fail-on",
                           "a", "--fail-on=b c", "--fail-on", "a"});
  ASSERT_EQ(all.outcome, ParseOutcome::kRun);
  EXPECT_EQ(all.output, none.output);
  EXPECT_STREQ(all.settings.portName, "COM2");
  EXPECT_EQ(all.settings.timeoutSeconds, 5);
  EXPECT_TRUE(all.settings.expectEnd);
  EXPECT_EQ(all.settings.timestamps, TimestampMode::kIso);
  ASSERT_EQ(all.settings.failTexts.size(), 3u);
  EXPECT_STREQ(all.settings.failTexts[1], "b c");
}

TEST(LongOptions, TimestampsTakeTheirValueOnlyAfterEquals) {
  CommandLine line;
  EXPECT_EQ(line.parse({"--timestamps"}).settings.timestamps, TimestampMode::kIso);
  EXPECT_EQ(line.parse({"--timestamps=iso"}).settings.timestamps, TimestampMode::kIso);
  EXPECT_EQ(line.parse({"--timestamps=elapsed"}).settings.timestamps, TimestampMode::kElapsed);
  // The word after it is an argument of its own: here a stray one.
  EXPECT_EQ(line.parse({"--timestamps", "elapsed"}).outcome, ParseOutcome::kUsage);
}

TEST(LongOptions, ValueIsTakenWhateverItLooksLike) {
  CommandLine line;
  Parsed p =
      line.parse({"--summary", "-d", "--raw", "--help", "--fail-on", "COM9", "--max-time", "-1"});
  ASSERT_EQ(p.outcome, ParseOutcome::kRun);
  EXPECT_STREQ(p.settings.summaryPath, "-d");
  EXPECT_EQ(p.settings.logLevel, 0);
  EXPECT_STREQ(p.settings.rawPath, "--help");
  EXPECT_STREQ(p.settings.failTexts[0], "COM9");
  EXPECT_STREQ(p.settings.portName, "COM1");
  EXPECT_EQ(p.settings.maxTimeSeconds, -1);
  // After '=', the rest of the argument is the value, '=' included.
  EXPECT_STREQ(line.parse({"--fail-on=a=b"}).settings.failTexts[0], "a=b");
}

TEST(LongOptions, UsageOutcomes) {
  const std::vector<std::string> cases[] = {
      {"--bogus"},
      {"--"},
      {"--=x"},
      {"-summary", "x"},  // long options take two dashes
      {"--Summary", "x"},
      {"--summary"},  // a value option standing last
      {"COM3", "--fail-on"},
      {"--max-time"},
      {"--max-time", "1m"},  // refused rather than read as 1
      {"--max-time="},
      {"--max-time", "ten"},
      {"--fail-on="},  // would match every line
      {"--timestamps=utc"},
      {"--timestamps="},
      {"--expect-end=yes"},
      {"--help=all"},
      {"-x", "--help"},  // the first stop wins, left to right
  };
  CommandLine line;
  for (const auto& args : cases) {
    Parsed p = line.parse(args);
    EXPECT_EQ(p.outcome, ParseOutcome::kUsage) << args.front() << " " << args.back();
    EXPECT_EQ(p.output, "") << args.front();
  }
  // Settings parsed before stand, for the usage text's "default is" line.
  EXPECT_EQ(line.parse({"-r", "300", "--nope", "-r", "5"}).settings.baudRate, 300);
}

TEST(LongOptions, HelpAndVersionStopTheParse) {
  CommandLine line;
  EXPECT_EQ(line.parse({"--help"}).outcome, ParseOutcome::kHelp);
  EXPECT_EQ(line.parse({"COM3", "-d", "--help", "-x"}).outcome, ParseOutcome::kHelp);
  EXPECT_EQ(line.parse({"--version", "--bogus"}).outcome, ParseOutcome::kVersion);
  // Neither prints the debug options line.
  EXPECT_EQ(line.parse({"-d", "--version"}).output, "");
}

TEST(LongOptions, HelpNamesEveryOptionOnALineOfItsOwnUnderItsGroup) {
  ConsoleCapture console;
  printHelp(console.stream(), "./sercap");
  const std::string help = console.text();
  EXPECT_EQ(help.rfind("usage: ./sercap [port] [options]\n", 0), 0u) << help;
  // Each line with the heading it stands under.
  std::vector<std::pair<std::string, std::string>> lines;
  std::vector<std::string> headings;
  std::istringstream in(help);
  std::getline(in, headings.emplace_back());  // the usage line
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == ':' && l[0] != ' ') headings.push_back(l);
    lines.emplace_back(headings.back(), l);
  }
  // The groups, in the order a user looks for them.
  const std::vector<std::string> expectedHeadings = {
      headings.front(), "Port and file:",  "Line settings:",
      "What is kept:",  "End of the run:", "Transmissions and signals:",
      "Console:",       "Test racks:"};
  EXPECT_EQ(headings, expectedHeadings);
  for (const OptionWord& option : kOptionWords) {
    // The word, then its value or its help: "-d" must not count "-d2".
    const std::string lead = std::string("  ") + option.word;
    int found = 0;
    for (const auto& [heading, l] : lines) {
      if (l.rfind(lead, 0) != 0 || (l[lead.size()] != ' ' && l[lead.size()] != '[')) continue;
      ++found;
      EXPECT_EQ(heading, groupHeading(option.group)) << option.word;
    }
    EXPECT_EQ(found, 1) << option.word;
  }
  for (const auto& line : lines) EXPECT_LE(line.second.size(), 100u) << line.second;
}

TEST(LongOptions, VersionIsTheBannersFirstLine) {
  ConsoleCapture console;
  printVersion(console.stream(), "/usr/bin/sercap");
  EXPECT_EQ(console.text(), std::string("/usr/bin/sercap version ") + SERCAP_VERSION + "\n");
}

}  // namespace

TEST(LongOptions, WaitAndReconnect) {
  CommandLine line;
  Parsed none = line.parse({"COM2"});
  EXPECT_EQ(none.settings.waitSeconds, 0);
  EXPECT_FALSE(none.settings.reconnect);

  const struct {
    std::vector<std::string> args;
    int32_t waitSeconds;
  } waits[] = {
      {{"--wait", "30"}, 30},
      {{"--wait=-1"}, -1},
      {{"--wait", "-5"}, -5},
      {{"--wait", "99999999999"}, INT32_MAX},
  };
  for (const auto& c : waits) {
    Parsed p = line.parse(c.args);
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << c.args[0];
    EXPECT_EQ(p.settings.waitSeconds, c.waitSeconds) << c.args.back();
    EXPECT_FALSE(p.settings.reconnect);
  }
  EXPECT_TRUE(line.parse({"--reconnect", "-t", "-1"}).settings.reconnect);

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--wait"}, {"--wait", "5s"}, {"--wait="}, {"--reconnect=yes"}}) {
    EXPECT_EQ(line.parse(args).outcome, ParseOutcome::kUsage) << args.back();
  }
}

// The dialogue's options: escapes decoded, pairs kept in order, end texts
// beside them in any place.
TEST(LongOptions, DialoguePairsAndEndTexts) {
  CommandLine line;
  Parsed p = line.parse({"--expect", "Hit any key", "--end-on=login:", "--send", " ", "--expect",
                         "=>\\x20", "--send=run selftest\\n", "--end-on", "\\x00\\xff\\\\\\r\\t"});
  ASSERT_EQ(p.outcome, ParseOutcome::kRun);
  const DialogueSettings& d = p.settings.dialogue;
  ASSERT_EQ(d.steps.size(), 2u);
  EXPECT_EQ(d.steps[0].expect, "Hit any key");
  EXPECT_EQ(d.steps[0].send, " ");
  EXPECT_EQ(d.steps[1].expect, "=> ");
  EXPECT_EQ(d.steps[1].send, "run selftest\n");
  EXPECT_EQ(d.endTexts, (std::vector<std::string>{"login:", std::string("\0\xff\\\r\t", 5)}));
  // An empty answer is a step that only waits; -tx keeps its backslashes.
  Parsed waits = line.parse({"--expect", "ready", "--send", "", "-tx", "a\\n"});
  ASSERT_EQ(waits.outcome, ParseOutcome::kRun);
  EXPECT_EQ(waits.settings.dialogue.steps[0].send, "");
  EXPECT_STREQ(waits.settings.txString, "a\\n");
  EXPECT_FALSE(line.parse({"-tx", "x"}).settings.dialogue.enabled());

  const std::vector<std::string> usage[] = {
      {"--send", "x"},                                    // no --expect before it
      {"--expect", "a"},                                  // no --send after it
      {"--expect", "a", "--expect", "b", "--send", "c"},  // two texts for one answer
      {"--expect", "a", "--send", "b", "--send", "c"},    // two answers for one text
      {"--expect", "", "--send", "x"},
      {"--end-on", ""},
      {"--end-on", std::string(4097, 'x')},
      {"--end-on", "\\q"},
      {"--end-on", "end\\"},
      {"--expect", "\\x4", "--send", "x"},
      {"--expect", "a", "--send", "\\xg0"},
  };
  for (const auto& args : usage) {
    EXPECT_EQ(line.parse(args).outcome, ParseOutcome::kUsage) << args[0] << " " << args[1];
  }
  EXPECT_EQ(line.parse({"--end-on", std::string(4096, 'x')}).outcome, ParseOutcome::kRun);
}
