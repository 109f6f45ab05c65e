// How a capture run ends: on the device's Ctrl-Z or end phrase, on the
// inactivity time-out, when the device goes away, and on interruption.
#include <signal.h>

#include <thread>

#include "sercap_test.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

using CaptureEndTest = SercapTest;

class CtrlZTest : public SercapTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(CtrlZTest, EndsTheRunAndKeepsTheLinesBeforeIt) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", GetParam(), "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  const auto sentAt = ProgramRun::Clock::now();
  // What follows Ctrl-Z in the same read is dropped.
  ASSERT_TRUE(
      device.send("first line\nsecond\n\x1a"
                  "after\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(workFile("out.spt"), "first line\r\nsecond\r\n");
  // The worker's end wakes the supervisor at once; the bound allows for a slow machine.
  const double afterCtrlZ =
      result.seconds - std::chrono::duration<double>(sentAt - run->startedAt()).count();
  EXPECT_LT(afterCtrlZ, 6.0);
}

// Also when the time-out never expires.
INSTANTIATE_TEST_SUITE_P(TimeOuts, CtrlZTest, ::testing::Values("30", "-1"));

// A transmission each second marks the supervisor's passes: the Ctrl-Z comes
// right after one. A run that noticed the end only at its next pass would
// transmit once more before it ended; one woken by the worker's end never
// does, however slowly the machine then shuts it down.
TEST_F(CaptureEndTest, DeviceEndEndsTheRunAtOnceWithNoFurtherTransmission) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "-1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("last\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "last\r\n");
  EXPECT_EQ(device.receiveUntilQuiet(milliseconds(300)), "")
      << "the end waited for the supervisor's next pass";
}

struct EndPhraseCase {
  const char* name;
  std::vector<std::string> chunks;  // sent one after the other
  std::string file;                 // the capture file afterwards
  bool recognised;                  // else Ctrl-Z ends the run
  std::string out = recognised ? "\n>>> kwo end\n\n" : "\n";
};

void PrintTo(const EndPhraseCase& c, std::ostream* os) {
  *os << c.name;
}

class EndPhraseTest : public SercapTest, public ::testing::WithParamInterface<EndPhraseCase> {};

TEST_P(EndPhraseTest, EndsTheRunOnlyWhenThePhraseArrives) {
  const EndPhraseCase& c = GetParam();
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  for (size_t i = 0; i < c.chunks.size(); ++i) {
    // Each chunk is read before the next comes, so the two are apart.
    if (i > 0) {
      ASSERT_TRUE(device.waitUntilTaken());
    }
    ASSERT_TRUE(device.send(c.chunks[i]));
  }
  if (!c.recognised) {
    ASSERT_TRUE(run->running()) << "ended on bytes that are not the end phrase";
    ASSERT_TRUE(device.send("\x1a\n"));
  }
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(workFile("out.spt"), c.file);
}

INSTANTIATE_TEST_SUITE_P(
    Phrases, EndPhraseTest,
    ::testing::Values(
        // The phrase is stored, followed by one line ending; the device's own
        // line feed after it is not read any more.
        EndPhraseCase{"AfterALine", {"report\nkwo end\n"}, "report\r\nkwo end\r\n", true},
        EndPhraseCase{"MidLine", {"x kwo end\nnot read\n"}, "x kwo end\r\n", true},
        // A byte that breaks a partial match may start the phrase itself.
        EndPhraseCase{"DoubledFirstLetter", {"kkwo end\n"}, "kkwo end\r\n", true},
        EndPhraseCase{"RepeatedStart", {"kwo kwo end\n"}, "kwo kwo end\r\n", true},
        // Ctrl-Y neither advances nor breaks a match.
        EndPhraseCase{"FlushInside", {"kwo\x19 end\n"}, "kwo end\r\n", true},
        // A match carries from one read to the next.
        EndPhraseCase{"AcrossTwoReads", {"a\nkwo", " end\n"}, "a\r\nkwo end\r\n", true},
        EndPhraseCase{"Broken", {"kwo en d\n"}, "kwo en d\r\n", false},
        EndPhraseCase{"UpperCase", {"KWO END\n"}, "KWO END\r\n", false},
        // Rejected bytes do not count as part of the phrase.
        EndPhraseCase{"WithControlInside", {"kwo\tend\n"}, "kwoend\r\n", false, "!\n"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TimeOutCase {
  const char* name;
  const char* seconds;
  double atLeast;
  double atMost;
};

void PrintTo(const TimeOutCase& c, std::ostream* os) {
  *os << c.name;
}

class TimeOutTest : public SercapTest, public ::testing::WithParamInterface<TimeOutCase> {};

TEST_P(TimeOutTest, EndsASilentRunAfterTheTimeOut) {
  const TimeOutCase& c = GetParam();
  PtyDevice device;
  auto run = start({port(device), "-t", c.seconds, "-f", "out.spt"});
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_GE(result.seconds, c.atLeast);
  EXPECT_LE(result.seconds, c.atMost);
  EXPECT_EQ(workFile("out.spt"), "");
  EXPECT_TRUE(std::filesystem::exists(work().file("out.spt")));
}

INSTANTIATE_TEST_SUITE_P(Durations, TimeOutTest,
                         ::testing::Values(TimeOutCase{"ThreeSeconds", "3", 2.0, 8.0},
                                           TimeOutCase{"Zero", "0", 0.0, 3.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureEndTest, BytesWithoutAFinalLineFeedAreNeverRead) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "3", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  // A read takes all that is queued, so the unfinished line must come after
  // the read of the finished one.
  ASSERT_TRUE(device.send("done\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  ASSERT_TRUE(device.send("partial"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(workFile("out.spt"), "done\r\n");
}

TEST_F(CaptureEndTest, ReadsEveryReceivedLineBeforeTheTimeOut) {
  // Each read restarts the countdown, so a device that keeps talking is not
  // cut off by a short time-out.
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "3", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  std::string sent;
  for (int i = 0; i < 5; ++i) {
    std::string line = "tick " + std::to_string(i) + "\n";
    ASSERT_TRUE(device.send(line));
    sent += line;
    std::this_thread::sleep_for(seconds(1));
  }
  ASSERT_TRUE(run->running()) << "timed out although the device kept sending";
  ASSERT_TRUE(device.send("\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), crlf(sent));
}

TEST_F(CaptureEndTest, HangUpEndsTheRunWithTheLineError) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  // Each read is in the file at once, proof that it was read.
  ASSERT_TRUE(device.send("before\n\x19\n"));
  ASSERT_EQ(awaitWorkFile("out.spt", "before\r\n\r\n"), "before\r\n\r\n");
  ASSERT_TRUE(device.waitUntilTaken());
  device.hangUp();
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 32);
  EXPECT_EQ(result.out, "\n>>>WaitCommEvent error : " + std::to_string(hangUpError()) + "\n\n");
  // What was read before the hang-up, including the unflushed line feed
  // after Ctrl-Y, is in the file.
  EXPECT_EQ(workFile("out.spt"), "before\r\n\r\n");
}

TEST_F(CaptureEndTest, HangUpOutranksAWriteError) {
  PtyDevice device;
  auto run = startOnLine(device, {"-d", "-ntx", "1", "-t", "30", "-f", "/dev/full"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("lost\n"));
  ASSERT_TRUE(device.waitUntilTaken());
  device.hangUp();
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 32);
  // The read is written out at once: its write error comes before the hang-up.
  const std::string tail =
      "lost.\n>>>write error on file /dev/full : " + std::to_string(diskFullError()) +
      "\n\n>>>WaitCommEvent error : " + std::to_string(hangUpError()) +
      "\n"
      "\n>>>TotalByteRead 5 TotalByteInFile 5 exitCode 32\n"
      "\n";
  ASSERT_GE(result.out.size(), tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail) << result.out;
}

struct InterruptionCase {
  const char* name;
  int signalNumber;
  int status;
};

void PrintTo(const InterruptionCase& c, std::ostream* os) {
  *os << c.name;
}

class InterruptionTest : public SercapTest,
                         public ::testing::WithParamInterface<InterruptionCase> {};

TEST_P(InterruptionTest, EndsTheRunKeepingWhatWasCaptured) {
  const InterruptionCase& c = GetParam();
  if (c.signalNumber != SIGINT) SKIP_UNDER_WINE("Windows has no POSIX signals; Ctrl-C is Int");
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "60", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("one\ntwo\n\x19\n"));
  // Each read is in the file at once, the line feed after Ctrl-Y too.
  ASSERT_EQ(awaitWorkFile("out.spt", "one\r\ntwo\r\n\r\n"), "one\r\ntwo\r\n\r\n");
  const auto signalledAt = ProgramRun::Clock::now();
  run->signal(c.signalNumber);
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, c.signalNumber == SIGINT ? interruptedStatus() : c.status);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(workFile("out.spt"), "one\r\ntwo\r\n\r\n");
  const double afterSignal =
      result.seconds - std::chrono::duration<double>(signalledAt - run->startedAt()).count();
  EXPECT_LT(afterSignal, 5.0);
}

// Every signal that would end the process by default ends the run as
// SIGTERM does, with its own status.
INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptionTest,
    ::testing::Values(InterruptionCase{"Int", SIGINT, 130}, InterruptionCase{"Term", SIGTERM, 143},
                      InterruptionCase{"Hup", SIGHUP, 129}, InterruptionCase{"Quit", SIGQUIT, 131},
                      InterruptionCase{"Usr2", SIGUSR2, 140},
                      InterruptionCase{"Alrm", SIGALRM, 142}, InterruptionCase{"Pwr", SIGPWR, 158},
                      InterruptionCase{"RtMax", SIGRTMAX, 128 + SIGRTMAX}),
    [](const auto& info) { return std::string(info.param.name); });

// A rack may start sercap in a process group of its own, which Windows
// starts with Ctrl-C disabled: Ctrl-C still ends the run.
TEST_F(CaptureEndTest, CtrlCEndsARunStartedWithCtrlCDisabled) {
  if (!underWine()) GTEST_SKIP() << "a Windows process attribute";
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "20", "-f", "out.spt"},
                         {{"SERCAP_LAUNCH_GROUP", "new"}});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("one\n"));
  // The run is under way once the line is in the file.
  ASSERT_EQ(awaitWorkFile("out.spt", "one\r\n"), "one\r\n");
  run->signal(SIGINT);
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, interruptedStatus());
  EXPECT_LT(result.seconds, 15.0) << "ended by the time-out, not by Ctrl-C";
}

TEST_F(CaptureEndTest, SecondInterruptionDuringShutdownDoesNotKillTheRun) {
  // Both come before the run has answered the first: the second one is
  // still pending while the run shuts down.
  PtyDevice device;
  auto run = startOnLine(device, {"-d", "-ntx", "1", "-t", "60", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  run->signal(SIGINT);
  // Windows has only Ctrl-C to send from here.
  run->signal(underWine() ? SIGINT : SIGTERM);
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, interruptedStatus());
  EXPECT_EQ(result.out, ">>>options: -t 60 -f out.spt \n>>>" + shownPort(device) +
                            ", rate 9600 ,8 dataBits, parityCode(0), stopBitCode(0)\n"
                            "\n");
}

}  // namespace
