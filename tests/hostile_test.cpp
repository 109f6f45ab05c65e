// Runs in hostile surroundings: a console that stalls, quits or is missing,
// odd capture files, bursts of signals, a line that takes transmissions
// slowly, and lines that come in the run's last second. Nothing captured may
// be lost and no failure may pass for a success.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <thread>

#include "line_rate.h"
#include "sercap_test.h"

namespace {

using std::chrono::duration;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Output = ProgramRun::Output;

using HostileTest = SercapTest;

// Seconds from `since` to the end of the run.
double secondsAfter(const ProgramRun& run, const ProgramResult& result,
                    ProgramRun::Clock::time_point since) {
  return result.seconds - duration<double>(since - run.startedAt()).count();
}

// Lines of text with a run of non-printable bytes in each: every one of
// those is a "!" on the console.
std::string noisyLines(size_t atLeast) {
  std::string text;
  for (int i = 0; text.size() < atLeast; ++i) {
    text += "line " + std::to_string(i) + std::string(200, '\x01') + "\n";
  }
  return text;
}

std::string withoutNoise(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if (c != '\x01') kept += c;
  }
  return kept;
}

// -t 2 with a transmission each pass: the first one comes after the pass
// that left the countdown at 1, so a line sent then arrives while the
// countdown stands at 0 and the supervisor sleeps before its last check.
TEST_F(HostileTest, LineInTheRunsLastSecondIsReadAndKeepsTheRunGoing) {
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "-1", "-t", "2", "-f", "out.spt"});
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("late\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "late\r\n");
  EXPECT_GE(result.seconds, 3.0) << "the late line did not restart the countdown";
}

TEST_F(HostileTest, OneSecondTimeOutCapturesADeviceThatKeepsTalking) {
  PtyDevice device;
  // The rate it sets shows that sercap has the line: no transmission needed.
  // Wine sets standard rates only.
  const uint32_t rate = underWine() ? 19200 : 31250;
  auto run = start({port(device), "-r", std::to_string(rate), "-t", "1", "-f", "out.spt"});
  for (int i = 0; i < 400 && lineOutputRate(device.slaveFd()) != rate; ++i) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_EQ(lineOutputRate(device.slaveFd()), rate);
  std::string sent;
  for (int i = 0; i < 4; ++i) {
    const std::string line = "tick " + std::to_string(i) + "\n";
    ASSERT_TRUE(device.send(line));
    sent += line;
    std::this_thread::sleep_for(milliseconds(400));
  }
  ASSERT_TRUE(device.send("\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), crlf(sent));
}

struct StalledConsoleCase {
  const char* name;
  int signalNumber;  // 0: the run ends by its time-out
  int status;
};

void PrintTo(const StalledConsoleCase& c, std::ostream* os) {
  *os << c.name;
}

class StalledConsoleTest : public SercapTest,
                           public ::testing::WithParamInterface<StalledConsoleCase> {};

// Standard output is a pipe that nobody reads, and the device sends far more
// "!" than the pipe and the console buffer hold together.
TEST_P(StalledConsoleTest, CaptureTimeOutAndInterruptionGoOn) {
  const StalledConsoleCase& c = GetParam();
  if (c.signalNumber == SIGTERM) SKIP_UNDER_WINE("Windows has no SIGTERM; Ctrl-C is Int");
  const std::string report = noisyLines(3 << 20);
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "3", "-f", "out.spt"}, {}, Output::kPipe);
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send(report, milliseconds(60000))) << "the capture stalled with the console";
  ASSERT_TRUE(device.waitUntilTaken());
  const auto lastSent = ProgramRun::Clock::now();
  if (c.signalNumber != 0) run->signal(c.signalNumber);
  ProgramResult result = finish(*run, seconds(30));

  EXPECT_EQ(result.status, c.signalNumber == SIGINT ? interruptedStatus() : c.status);
  EXPECT_EQ(workFile("out.spt"), crlf(withoutNoise(report)));
  EXPECT_LT(secondsAfter(*run, result, lastSent), 10.0);
}

INSTANTIATE_TEST_SUITE_P(Ends, StalledConsoleTest,
                         ::testing::Values(StalledConsoleCase{"TimeOut", 0, 0},
                                           StalledConsoleCase{"Term", SIGTERM, 143},
                                           StalledConsoleCase{"Int", SIGINT, 130}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostileTest, ConsoleReaderThatQuitsLosesNothingCaptured) {
  const std::string report = noisyLines(64 << 10);
  PtyDevice device;
  auto run =
      startOnLine(device, {"-d", "-ntx", "1", "-t", "30", "-f", "out.spt"}, {}, Output::kPipe);
  ASSERT_NE(run, nullptr);
  bool sent = false;
  std::thread sender([&] { sent = device.send(report + "\x1a\n"); });
  // As "| head -c 10" would: take a little, then go.
  char first[10];
  EXPECT_GT(::read(run->outputPipe(), first, sizeof first), 0);
  run->closeOutputPipe();
  ProgramResult result = finish(*run);
  sender.join();

  EXPECT_TRUE(sent);
  EXPECT_TRUE(result.exited) << "killed by signal " << result.status;
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), crlf(withoutNoise(report)));
}

class ClosedDescriptorsTest : public SercapTest, public ::testing::WithParamInterface<Output> {};

TEST_P(ClosedDescriptorsTest, TakeNeitherTheFileNorTheLine) {
  if (GetParam() == Output::kAllClosed) {
    SKIP_UNDER_WINE(
        "with descriptors 0 to 2 closed, Wine itself takes them before the program "
        "starts; Windows reuses no standard handles");
  }
  PtyDevice device;
  const std::string level = GetParam() == Output::kAllClosed ? "-d" : "-progress";
  auto run = startOnLine(device, {level, "-ntx", "1", "-t", "30", "-f", "out.spt"}, {}, GetParam());
  ASSERT_NE(run, nullptr);
  ASSERT_TRUE(device.send("ab" + std::string(70000, '\x01') + "c\n\x1a\n"));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(workFile("out.spt"), "abc\r\n");
  // The console text went nowhere, least of all to the device.
  EXPECT_EQ(device.receiveUntilQuiet(milliseconds(500)), "");
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ClosedDescriptorsTest,
                         ::testing::Values(Output::kStdoutClosed, Output::kAllClosed),
                         [](const auto& info) {
                           return info.param == Output::kAllClosed ? "All" : "StandardOutput";
                         });

TEST_F(HostileTest, FifoWithoutReaderIsRefusedAtOnce) {
  SKIP_UNDER_WINE("Windows has no FIFOs");
  ASSERT_EQ(mkfifo(work().file("fifo").c_str(), 0600), 0);
  PtyDevice device;
  auto run = start({port(device), "-ntx", "1", "-t", "30", "-f", "fifo"});
  ProgramResult result = finish(*run, seconds(20));

  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "\n>>>unable to open file fifo\n");
  EXPECT_EQ(device.receiveUntilQuiet(milliseconds(200)), "") << "the port was opened";
}

TEST_F(HostileTest, FifoWithAReaderTakesTheCaptureAndCtrlY) {
  SKIP_UNDER_WINE("Windows has no FIFOs");
  const std::string fifo = work().file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The reader is there before sercap starts, however late its thread runs:
  // sercap opens the FIFO without waiting and would find no reader.
  const int readEnd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(readEnd, 0);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    for (;;) {
      // Woken by data, and by the writer's close once it has been there.
      pollfd p = {readEnd, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
      const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
      if (n > 0) received.append(buffer, n);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    }
    ::close(readEnd);
  });
  PtyDevice device;
  auto run = startOnLine(device, {"-ntx", "1", "-t", "30", "-f", "fifo"});
  if (run == nullptr) {
    ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // let the reader go
    reader.join();
    FAIL();
  }
  // A FIFO cannot be handed to a disk: no write error for that.
  ASSERT_TRUE(device.send("kept\n\x19\nmore\n\x1a\n"));
  ProgramResult result = finish(*run);
  reader.join();

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(received, "kept\r\n\r\nmore\r\n");
}

TEST_F(HostileTest, FileSizeLimitIsAWriteError) {
  SKIP_UNDER_WINE("a file-size limit set by the shell is POSIX's");
  PtyDevice device;
  // The shell sets the limit (512-byte blocks) and becomes sercap.
  std::vector<std::string> args = {"-c",          "ulimit -f 2 && exec \"$0\" \"$@\"",
                                   SERCAP_BINARY, device.slavePath(),
                                   "-ntx",        "1",
                                   "-t",          "30",
                                   "-f",          "out.spt"};
  ProgramRun run("/bin/sh", args, work().path(), {{"XDG_CONFIG_HOME", config().path()}});
  ASSERT_TRUE(awaitTransmission(device, run));
  const std::string report = std::string(3000, 'x') + "\n\x19\nafter\n\x1a\n";
  ASSERT_TRUE(device.send(report));
  ProgramResult result = finish(run);

  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "\n>>>write error on file out.spt : 27\n\n");
  EXPECT_EQ(workFile("out.spt"), std::string(1024, 'x'));
}

TEST_F(HostileTest, BurstsOfSignalsNeverKillTheRun) {
  using Burst = std::array<int, 4>;
  const std::vector<Burst> bursts = {{SIGINT, SIGTERM, SIGHUP, SIGINT},
                                     {SIGTERM, SIGINT, SIGINT, SIGHUP},
                                     {SIGHUP, SIGHUP, SIGTERM, SIGINT}};
  // Windows has only Ctrl-C to send from here: a burst of those.
  const std::vector<Burst> ctrlCs = {{SIGINT, SIGINT, SIGINT, SIGINT}};
  for (const Burst& burst : underWine() ? ctrlCs : bursts) {
    PtyDevice device;
    auto run = startOnLine(device, {"-ntx", "1", "-t", "60", "-f", "out.spt"});
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(device.send("kept\n"));
    ASSERT_TRUE(device.waitUntilTaken());
    for (int s : burst) run->signal(s);
    ProgramResult result = finish(*run);

    // The first one taken decides; the system hands pending ones over in its
    // own order.
    if (underWine()) {
      EXPECT_EQ(result.status, interruptedStatus());
    } else {
      EXPECT_TRUE(result.status == 128 + burst[0] || result.status == 128 + burst[1] ||
                  result.status == 128 + burst[2] || result.status == 128 + burst[3])
          << result.status;
    }
    EXPECT_EQ(result.out, "\n");
    EXPECT_EQ(workFile("out.spt"), "kept\r\n");
    std::remove(work().file("out.spt").c_str());
  }
}

std::string numberedText(size_t atLeast) {
  std::string text;
  for (int i = 0; text.size() < atLeast; ++i) text += std::to_string(i) + ",";
  return text;
}

TEST_F(HostileTest, LongStartTextGoesOutWholeAndTheNextFollowsIt) {
  const std::string text = numberedText(20000);
  PtyDevice device;
  auto run = start({port(device), "-tx", text, "-ntx", "2", "-t", "4", "-f", "out.spt"});
  const std::string received = device.receive(2 * text.size(), milliseconds(20000));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(received.size(), 2 * text.size());
  EXPECT_TRUE(received == text + text) << "the transmissions were cut or mixed";
}

// The device takes 2,000 bytes every half second, so the waiting
// transmission never stalls for a second; an interruption must not wait for
// the rest of it.
TEST_F(HostileTest, WaitingTransmissionAnswersAnInterruption) {
  // A Windows command line holds at most 32,767 characters.
  const std::string text(underWine() ? 30000 : 100000, 'T');
  PtyDevice device;
  auto run = start({port(device), "-nov", "-tx", text, "-t", "60", "-f", "out.spt"});
  std::atomic<bool> stop{false};
  std::thread slowDevice([&] {
    while (!stop.load()) {
      device.receive(2000, milliseconds(500));
      std::this_thread::sleep_for(milliseconds(500));
    }
  });
  std::this_thread::sleep_for(seconds(3));
  const auto signalledAt = ProgramRun::Clock::now();
  run->signal(SIGINT);
  ProgramResult result = finish(*run);
  stop.store(true);
  slowDevice.join();

  EXPECT_EQ(result.status, interruptedStatus());
  EXPECT_EQ(result.out, "\n");
  EXPECT_LT(secondsAfter(*run, result, signalledAt), 3.0);
}

TEST_F(HostileTest, LowestTransmissionCountNeverRunsOut) {
  PtyDevice device;
  auto run = start({port(device), "-ntx", "-2147483648", "-t", "3", "-f", "out.spt"});
  const std::string received = device.receive(3, milliseconds(10000));
  ProgramResult result = finish(*run);

  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(received, "^^^");
}

}  // namespace
