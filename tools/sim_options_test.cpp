#include "sim_options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

struct GoodCase {
  std::vector<std::string> args;
  std::function<void(SimOptions&)> expect;  // changes from the defaults
};

TEST(SimOptions, AcceptsEachOption) {
  const GoodCase cases[] = {
      {{}, [](SimOptions&) {}},
      {{"--link", "COM7"}, [](SimOptions& o) { o.linkName = "COM7"; }},
      {{"--report", "r.txt"},
       [](SimOptions& o) {
         o.source = SimOptions::Source::File;
         o.reportPath = "r.txt";
       }},
      {{"--text", "a\\n"},
       [](SimOptions& o) {
         o.source = SimOptions::Source::Text;
         o.reportText = "a\\n";
       }},
      {{"--text", ""}, [](SimOptions& o) { o.source = SimOptions::Source::Text; }},
      {{"--board"}, [](SimOptions& o) { o.source = SimOptions::Source::Board; }},
      {{"--raw", "--wait-rx", "--hangup-after-play"},
       [](SimOptions& o) { o.raw = o.waitRx = o.hangupAfterPlay = true; }},
      {{"--rate", "960", "--repeat", "0", "--delay", "1500", "--hold", "0", "--lifetime", "30"},
       [](SimOptions& o) {
         o.rate = 960;
         o.repeat = 0;
         o.delayMs = 1500;
         o.holdSeconds = 0;
         o.lifetimeSeconds = 30;
       }},
      {{"--record=rx.bin", "--times=rx.txt", "--repeat=4"},
       [](SimOptions& o) {
         o.recordPath = "rx.bin";
         o.timesPath = "rx.txt";
         o.repeat = 4;
       }},
      {{"--text", "--raw"},  // a value that looks like an option is still the value
       [](SimOptions& o) {
         o.source = SimOptions::Source::Text;
         o.reportText = "--raw";
       }},
  };
  for (const GoodCase& c : cases) {
    SimOptions got;
    std::string error;
    EXPECT_EQ(parseSimOptions(c.args, &got, &error), SimCommand::Run) << error;
    SimOptions expected;
    c.expect(expected);
    EXPECT_TRUE(got == expected) << "args starting " << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST(SimOptions, HelpWinsOverWhatFollows) {
  SimOptions options;
  std::string error;
  EXPECT_EQ(parseSimOptions({"--help", "--bogus"}, &options, &error), SimCommand::Help);
  EXPECT_EQ(parseSimOptions({"-h"}, &options, &error), SimCommand::Help);
}

struct BadCase {
  std::vector<std::string> args;
  const char* message;  // part of the complaint
};

TEST(SimOptions, RejectsBadCommandLines) {
  const BadCase cases[] = {
      {{"--bogus"}, "unknown argument '--bogus'"},
      {{"COM7"}, "unknown argument 'COM7'"},
      {{"--link"}, "--link needs a value"},
      {{"--link", "a/b"}, "port name"},
      {{"--link", ".."}, "port name"},
      {{"--link="}, "port name"},
      {{"--report", "a", "--text", "b"}, "only one of"},
      {{"--text", "a", "--text", "b"}, "only one of"},
      {{"--board", "--report", "a"}, "only one of"},
      {{"--board=yes"}, "--board takes no value"},
      {{"--rate", "0"}, "--rate: '0'"},
      {{"--rate", "12k"}, "--rate: '12k'"},
      {{"--repeat", "-1"}, "--repeat: '-1'"},
      {{"--delay", ""}, "--delay: ''"},
      {{"--delay", "99999999999999999999"}, "not a whole number"},
      {{"--hold", "1.5"}, "--hold: '1.5'"},
      {{"--lifetime", "0"}, "--lifetime: '0'"},
      {{"--record", ""}, "--record needs a file name"},
      {{"--times"}, "--times needs a value"},
      {{"--raw=yes"}, "--raw takes no value"},
  };
  for (const BadCase& c : cases) {
    SimOptions options;
    std::string error;
    EXPECT_EQ(parseSimOptions(c.args, &options, &error), SimCommand::Error) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

}  // namespace
