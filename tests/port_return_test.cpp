// A port that is not there yet (--wait) and one that goes away during the
// run and comes back (--reconnect): pseudo-terminals created late, hung up,
// and replaced by new ones under the same name, through the port map or a
// symbolic link.
#include <signal.h>

#include <filesystem>
#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// How a test names the port: a COM name in the port map (a COM name linked
// in the Wine prefix under Wine), or on Linux a symbolic link in the working
// folder given as a path. Either can be pointed at a new device.
enum class Naming { kPortMap, kLinkPath };

class PortReturnTest : public SercapTest {
 protected:
  PortReturnTest() {
    if (underWine()) number_ = claimWinePortNumber();
  }
  ~PortReturnTest() override {
    unlink();
    if (underWine()) releaseWinePortNumber(number_);
  }
  void SetUp() override { ASSERT_NE(number_, 0) << "no COM number free in the Wine prefix"; }

  // The port argument; nothing is linked yet.
  std::string portName() const {
    return naming_ == Naming::kPortMap ? "COM" + std::to_string(number_) : linkPath();
  }
  // How sercap's messages show it.
  std::string shownName() const {
    return naming_ == Naming::kPortMap ? "\\\\.\\" + portName() : portName();
  }

  void linkTo(const PtyDevice& device) {
    unlink();
    if (naming_ == Naming::kPortMap) {
      publishPort(number_, device.slavePath());
    } else {
      std::filesystem::create_symlink(device.slavePath(), linkPath());
    }
  }

  void unlink() {
    if (underWine()) {
      removeWinePort(number_);
      return;
    }
    std::filesystem::remove(config().file("sercap/ports/COM" + std::to_string(number_)));
    std::filesystem::remove(linkPath());
  }

  // The device goes away, and its name with it, as an unplugged adapter's
  // node does (a pseudo-terminal's number is soon another's).
  void unplug(PtyDevice& device) {
    unlink();
    device.hangUp();
  }

  std::string waitingLine() const { return "\n>>>waiting for port " + shownName() + "\n"; }
  std::string lostLine() const {
    return "\n>>>port " + shownName() + " lost, error : " + std::to_string(hangUpError()) +
           ", waiting for it\n";
  }
  std::string backLine() const { return "\n>>>port " + shownName() + " back\n"; }

  Naming naming_ = Naming::kPortMap;
  // The port's COM number; under Wine one this test alone holds.
  int number_ = 60;

 private:
  std::string linkPath() const { return work().file("port-link"); }
};

class PortNamingTest : public PortReturnTest, public ::testing::WithParamInterface<Naming> {
 protected:
  void SetUp() override {
    PortReturnTest::SetUp();
    naming_ = GetParam();
    if (naming_ == Naming::kLinkPath) SKIP_UNDER_WINE("a port is a COM name there");
  }
};

TEST_P(PortNamingTest, WaitOpensAPortThatAppearsLate) {
  auto run = start({portName(), "--wait", "30", "-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_TRUE(awaitOutput(*run, waitingLine())) << run->outputSoFar();
  std::this_thread::sleep_for(milliseconds(500));
  ASSERT_TRUE(run->running());
  PtyDevice device;
  linkTo(device);
  ASSERT_TRUE(awaitTransmission(device, *run));
  ASSERT_TRUE(device.send("hello\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, waitingLine() + "\n");
  EXPECT_EQ(workFile("out.spt"), "hello\r\n");
}

// The device hangs up with a line half sent; a new device takes its name.
// The line continues in the file with nothing inserted, the transmission
// count is not spent while the port is away, and -setsignal is applied again.
TEST_P(PortNamingTest, ReconnectCapturesOnIntoTheSameFile) {
  auto first = std::make_unique<PtyDevice>();
  linkTo(*first);
  auto run = start({portName(), "--reconnect", "-ntx", "2", "-t", "30", "-setsignal", "SETXON",
                    "-f", "out.spt"});
  ASSERT_TRUE(awaitTransmission(*first, *run));
  ASSERT_TRUE(first->send("one\npart"));
  ASSERT_TRUE(first->waitUntilTaken());
  unplug(*first);
  ASSERT_TRUE(awaitOutput(*run, lostLine())) << run->outputSoFar();
  // Away for more than a pass: a transmission would be due meanwhile.
  std::this_thread::sleep_for(milliseconds(2500));
  PtyDevice second;
  linkTo(second);
  ASSERT_TRUE(awaitOutput(*run, backLine())) << run->outputSoFar();
  // The second of the two transmissions, and no other.
  EXPECT_EQ(second.receive(1, seconds(5)), "^");
  EXPECT_EQ(second.receiveUntilQuiet(milliseconds(1500)), "");
  ASSERT_TRUE(second.send("ial\ntwo\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "one\r\npartial\r\ntwo\r\n");
  const std::string signalLine = "Set Signal SETXON";
  const size_t lost = result.out.find(lostLine());
  const size_t back = result.out.find(backLine());
  ASSERT_NE(lost, std::string::npos) << result.out;
  ASSERT_NE(back, std::string::npos) << result.out;
  EXPECT_LT(lost, back);
  EXPECT_NE(result.out.find(signalLine), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(signalLine, back), std::string::npos) << "not applied again";
  EXPECT_EQ(result.out.find("WaitCommEvent"), std::string::npos) << result.out;
}

// A prompt that an unplug cuts in two is still found: the search goes on
// with the new device, and the answer goes to it.
TEST_F(PortReturnTest, APromptSplitByAnUnplugIsAnsweredOnTheNewDevice) {
  auto first = std::make_unique<PtyDevice>();
  linkTo(*first);
  auto run = start({portName(), "--reconnect", "-ntx", "1", "-t", "30", "-f", "out.spt", "--expect",
                    "Hit any key", "--send", " ", "--end-on", "login:"});
  ASSERT_TRUE(awaitTransmission(*first, *run));
  ASSERT_TRUE(first->send("Hit any "));
  ASSERT_TRUE(first->waitUntilTaken());
  unplug(*first);
  ASSERT_TRUE(awaitOutput(*run, lostLine())) << run->outputSoFar();
  PtyDevice second;
  linkTo(second);
  ASSERT_TRUE(awaitOutput(*run, backLine())) << run->outputSoFar();
  ASSERT_TRUE(second.send("key to stop autoboot"));
  EXPECT_EQ(second.receive(1, seconds(20)), " ");
  ASSERT_TRUE(second.send("\nlogin: "));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "Hit any key to stop autoboot\r\nlogin:\r\n");
}

INSTANTIATE_TEST_SUITE_P(Names, PortNamingTest,
                         ::testing::Values(Naming::kPortMap, Naming::kLinkPath),
                         [](const auto& info) {
                           return info.param == Naming::kPortMap ? "PortMap" : "LinkPath";
                         });

// A port that never comes, one that is busy from the start, and a wait that
// a signal or the deadline ends.
TEST_F(PortReturnTest, WaitEnds) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int signalNumber;  // sent once the wait has begun; 0 none
    int status;
    double minSeconds;
  } cases[] = {
      {"never appears", {"--wait", "1"}, 0, 1, 1.0},
      {"deadline", {"--wait", "-1", "--max-time", "1"}, 0, 1, 1.0},
      {"signal", {"--wait", "-1"}, SIGINT, interruptedStatus(), 0},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {portName(), "-t", "30", "-f", "out.spt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto run = start(args);
    ASSERT_TRUE(awaitOutput(*run, waitingLine())) << c.name << ": " << run->outputSoFar();
    if (c.signalNumber != 0) run->signal(c.signalNumber);
    ProgramResult result = finish(*run);

    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_GE(result.seconds, c.minSeconds) << c.name;
    EXPECT_LT(result.seconds, 10.0) << c.name;
    const std::string failure = "\n>>>open com " + shownName() + " error : 2\n";
    EXPECT_EQ(result.out.find(failure) != std::string::npos, c.signalNumber == 0)
        << c.name << ": " << result.out;
  }
}

TEST_F(PortReturnTest, WaitLeavesABusyPortAlone) {
  SKIP_UNDER_WINE("exclusive open: Wine lets a second program open a port that one holds");
  PtyDevice device;
  linkTo(device);
  auto holder = start({portName(), "-ntx", "1", "-t", "30", "-f", "held.spt"});
  ASSERT_TRUE(awaitTransmission(device, *holder));
  auto run = start({portName(), "--wait", "30", "-t", "30", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  ASSERT_TRUE(device.send("\x1a\n"));
  finish(*holder);

  EXPECT_EQ(result.status, 1);
  EXPECT_LT(result.seconds, 5.0);
  EXPECT_EQ(result.out.find("\n>>>open com " + shownName() + " error : 16\n"), 0u) << result.out;
}

// While the port is away, the run still ends as it would: by the time-out
// (as a line failure: 32) or by a signal (its own status). What was read,
// also a last line without its line feed, is in the file.
TEST_F(PortReturnTest, RunEndsWhileThePortIsAway) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int signalNumber;
    int status;
  } cases[] = {
      {"time-out", {"-t", "2"}, 0, 32},
      {"negative time-out, signal", {"-t", "-1"}, SIGINT, interruptedStatus()},
  };
  for (const auto& c : cases) {
    PtyDevice device;
    linkTo(device);
    std::vector<std::string> args = {portName(), "--reconnect", "-ntx", "1", "-f", "out.spt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto run = start(args);
    ASSERT_TRUE(awaitTransmission(device, *run)) << c.name;
    ASSERT_TRUE(device.send(std::string(c.name) + "\nno line feed"));
    ASSERT_TRUE(device.waitUntilTaken());
    unplug(device);
    ASSERT_TRUE(awaitOutput(*run, lostLine())) << c.name << ": " << run->outputSoFar();
    if (c.signalNumber != 0) run->signal(c.signalNumber);
    ProgramResult result = finish(*run);

    EXPECT_EQ(result.status, c.status) << c.name;
    EXPECT_EQ(result.out, lostLine() + "\n") << c.name;
    EXPECT_EQ(workFile("out.spt"), crlf(std::string(c.name) + "\nno line feed")) << c.name;
    std::filesystem::remove(work().file("out.spt"));
  }
}

// Without --reconnect a hang-up still ends the run, but what the line had
// taken in after the last line feed is written first.
TEST_F(PortReturnTest, HangUpWritesTheUnfinishedLine) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  // Ctrl-Y shows the first line in the file: proof that it was read alone.
  ASSERT_TRUE(device.send("whole\n\x19"));
  ASSERT_EQ(awaitWorkFile("out.spt", "whole\r\n"), "whole\r\n");
  ASSERT_TRUE(device.send("half"));
  ASSERT_TRUE(device.waitUntilTaken());
  device.hangUp();
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 32);
  EXPECT_EQ(result.out, "\n>>>WaitCommEvent error : " + std::to_string(hangUpError()) + "\n\n");
  EXPECT_EQ(workFile("out.spt"), "whole\r\nhalf");
}

}  // namespace
