#include "sim_board.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using std::chrono::milliseconds;
using Clock = SimBoard::Clock;

// Lets the board print all it has to until it waits for input.
struct Bench {
  SimBoard board{milliseconds(1000), milliseconds(40)};
  Clock::time_point now = Clock::time_point() + std::chrono::hours(1);

  std::string untilQuiet() {
    std::string out;
    board.printDue(now, &out);
    for (Clock::time_point at = board.wakeAt(); at != Clock::time_point::max();
         at = board.wakeAt()) {
      now = std::max(now, at);
      board.printDue(now, &out);
    }
    return out;
  }
  std::string type(const std::string& keys) {
    board.received(keys, now);
    return untilQuiet();
  }
};

TEST(SimBoard, CountdownWaitsForAKeyThenThePromptRunsTheSelfTestAndBootsToLogin) {
  Bench b;
  EXPECT_EQ(b.type("early keys do nothing"), "");
  b.board.powerOn(b.now);
  const std::string boot = b.untilQuiet();
  // The countdown ticks down with backspaces, without a line feed, and stands at 0.
  const std::string countdown = "Hit any key to stop autoboot:  3\b\b 2\b\b 1\b\b 0";
  ASSERT_GE(boot.size(), countdown.size());
  EXPECT_EQ(boot.substr(boot.size() - countdown.size()), countdown);
  EXPECT_EQ(boot.find("autoboot:  3\r"), std::string::npos);
  EXPECT_FALSE(b.board.atLogin());

  EXPECT_EQ(b.type(" "), "\b\b 0\r\n=> ");
  const std::string run = b.type("run selftest\r\n");
  EXPECT_EQ(run.rfind("run selftest\r\nRunning self-test ...\r\n", 0), 0u) << run;
  EXPECT_NE(run.find("ALL TESTS PASSED\r\n"), std::string::npos);
  EXPECT_EQ(run.substr(run.size() - 7), "login: ");
  EXPECT_TRUE(b.board.atLogin());
  EXPECT_EQ(b.type("root\r"), "") << "the login prompt is the end";
}

TEST(SimBoard, APressedKeyStopsTheCountdownAtOnce) {
  Bench b;
  b.board.powerOn(b.now);
  std::string out;
  // Up to the countdown's first number, without waiting for its ticks.
  while (out.find("autoboot:  3") == std::string::npos) {
    b.now = b.board.wakeAt();
    b.board.printDue(b.now, &out);
  }
  EXPECT_EQ(b.type("\r"), "\b\b 0\r\n=> ");
}

TEST(SimBoard, PromptEditsLinesAndAnswersOtherCommands) {
  Bench b;
  b.board.powerOn(b.now);
  b.untilQuiet();
  b.type("x");
  EXPECT_EQ(b.type("bogus\r"), "bogus\r\nUnknown command 'bogus' - try 'help'\r\n=> ");
  EXPECT_EQ(b.type("\n"), "") << "the line feed of a CR LF ends no second line";
  EXPECT_EQ(b.type("\r"), "\r\n=> ");
  EXPECT_NE(b.type("help\r").find("run selftest  - run the self-test, then boot\r\n=> "),
            std::string::npos);
  const std::string edited = b.type("runx\b selftesu\x7ft\r");
  EXPECT_EQ(edited.rfind("runx\b \b selftesu\b \bt\r\nRunning self-test", 0), 0u) << edited;
  EXPECT_TRUE(b.board.atLogin());
}

}  // namespace
