#include "serial/device_line.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "serial/input_queue.h"
#include "serial/line_termios2_linux.h"
#include "testing/test_pty.h"

namespace {

using namespace std::chrono_literals;

// A waitForLineEvent() on a worker thread. A wait still blocked when its
// result is wanted is stopped after ten seconds, so a faulty line fails the
// test instead of hanging it.
class BackgroundWait {
 public:
  explicit BackgroundWait(SerialLine& line)
      : line_(line),
        result_(std::async(std::launch::async, [&line] { return line.awaitLine(); })) {}
  ~BackgroundWait() {
    if (result_.valid()) stop();
  }

  int result() {
    if (result_.wait_for(10s) == std::future_status::timeout) line_.stopWaiting();
    return result_.get();
  }
  int stop() {
    line_.stopWaiting();
    return result_.get();
  }

 private:
  SerialLine& line_;
  std::future<int> result_;
};

std::string takeQueued(SerialLine& line) {
  size_t count = 0;
  EXPECT_EQ(line.collect(&count), 0);
  std::string bytes(count, '\0');
  EXPECT_EQ(line.take(reinterpret_cast<uint8_t*>(bytes.data()), count), count);
  return bytes;
}

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(line.open(pty.path()), 0);
    ASSERT_EQ(line.configure(LineSettings{}).error, 0);
  }

  TestPty pty;
  DeviceLine line;
};

TEST_F(SerialLineTest, BytesWithoutLineFeedStayQueuedAndDoNotWake) {
  ASSERT_TRUE(pty.send("hello"));
  ASSERT_TRUE(pty.pendingInputIs(5));
  BackgroundWait wait(line);
  ASSERT_TRUE(pty.pendingInputIs(0));  // the waiting line has taken them in
  EXPECT_EQ(wait.stop(), SerialLine::kWaitStopped);
  EXPECT_EQ(takeQueued(line), "hello");
}

TEST_F(SerialLineTest, LineFeedWakesWithTheWholeLineQueued) {
  ASSERT_TRUE(pty.send("hel"));
  ASSERT_TRUE(pty.pendingInputIs(3));
  BackgroundWait wait(line);
  ASSERT_TRUE(pty.pendingInputIs(0));
  ASSERT_TRUE(pty.send("lo\n"));
  EXPECT_EQ(wait.result(), 0);
  EXPECT_EQ(takeQueued(line), "hello\n");
}

TEST_F(SerialLineTest, SeveralLineFeedsGiveOneWakeUp) {
  ASSERT_TRUE(pty.send("a\nb\nc\n"));
  ASSERT_TRUE(pty.pendingInputIs(6));
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  EXPECT_EQ(takeQueued(line), "a\nb\nc\n");

  BackgroundWait second(line);
  EXPECT_EQ(second.stop(), SerialLine::kWaitStopped);
}

TEST_F(SerialLineTest, LineFeedTakenInByQueueCountSatisfiesTheNextWait) {
  ASSERT_TRUE(pty.send("one\n"));
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  ASSERT_TRUE(pty.send("two\n"));
  ASSERT_TRUE(pty.pendingInputIs(4));
  EXPECT_EQ(takeQueued(line), "one\ntwo\n");

  // Already read, yet it entered after the wait returned: the next wait
  // returns at once and finds nothing queued.
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  EXPECT_EQ(takeQueued(line), "");
}

// Read by arrival a prompt wakes the worker; bytes taken in while it takes
// what woke it make the next wait return at once, and it finds nothing.
TEST_F(SerialLineTest, ReadByArrivalAnyByteWakes) {
  LineSettings settings;
  settings.readByArrival = true;
  ASSERT_EQ(line.configure(settings).error, 0);
  BackgroundWait wait(line);
  ASSERT_TRUE(pty.send("login"));
  EXPECT_EQ(wait.result(), 0);
  ASSERT_TRUE(pty.send(": "));
  ASSERT_TRUE(pty.pendingInputIs(2));
  EXPECT_EQ(takeQueued(line), "login: ");
  EXPECT_TRUE(line.lineWaiting());
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  EXPECT_EQ(takeQueued(line), "");
  EXPECT_FALSE(line.lineWaiting());
  BackgroundWait idle(line);
  EXPECT_EQ(idle.stop(), SerialLine::kWaitStopped);
}

TEST_F(SerialLineTest, ReadTakesQueuedBytesInOrderAndNeverBlocks) {
  ASSERT_TRUE(pty.send("hello"));
  ASSERT_TRUE(pty.pendingInputIs(5));
  size_t count = 0;
  ASSERT_EQ(line.collect(&count), 0);
  EXPECT_EQ(count, 5u);

  uint8_t buffer[8] = {};
  ASSERT_EQ(line.take(buffer, 2), 2u);
  EXPECT_EQ(std::string(buffer, buffer + 2), "he");
  ASSERT_TRUE(pty.send("!"));
  ASSERT_TRUE(pty.pendingInputIs(1));
  ASSERT_EQ(line.collect(&count), 0);
  EXPECT_EQ(count, 4u);
  ASSERT_EQ(line.take(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::string(buffer, buffer + 4), "llo!");
  EXPECT_EQ(line.take(buffer, sizeof buffer), 0u);
}

TEST_F(SerialLineTest, FullQueueWithoutLineFeedWakesAndLosesNothing) {
  const size_t extra = 100;
  // More than the pseudo-terminal buffers: the device blocks until the line
  // takes bytes in.
  std::future<bool> sent = std::async(std::launch::async, [this] {
    return pty.send(std::string(InputQueue::kCapacity + extra, 'x'));
  });
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  std::string first = takeQueued(line);
  ASSERT_TRUE(sent.get());
  EXPECT_EQ(first.size(), InputQueue::kCapacity);

  // The rest waits for a line feed like any other bytes; none went missing.
  ASSERT_TRUE(pty.send("\n"));
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  std::string rest = takeQueued(line);
  EXPECT_EQ(first + rest, std::string(InputQueue::kCapacity + extra, 'x') + "\n");
}

TEST_F(SerialLineTest, StopWakesAWaitingWorkerAndLaterWaitsReturnAtOnce) {
  BackgroundWait wait(line);
  EXPECT_EQ(wait.stop(), SerialLine::kWaitStopped);

  ASSERT_TRUE(pty.send("late\n"));
  ASSERT_TRUE(pty.pendingInputIs(5));
  EXPECT_EQ(line.awaitLine(), SerialLine::kWaitStopped);
}

TEST_F(SerialLineTest, SupervisorWritesWhileTheWorkerWaits) {
  BackgroundWait wait(line);
  line.transmit("ping\n", 5);
  EXPECT_EQ(pty.receive(5), "ping\n");
  ASSERT_TRUE(pty.send("pong\n"));
  EXPECT_EQ(wait.result(), 0);
  EXPECT_EQ(takeQueued(line), "pong\n");
}

TEST_F(SerialLineTest, HangUpWhileWaitingFailsTheWait) {
  BackgroundWait wait(line);
  pty.hangUp();
  EXPECT_EQ(wait.result(), EIO);
}

TEST_F(SerialLineTest, HangUpIsReportedOnlyAfterThePendingLine) {
  ASSERT_TRUE(pty.send("last\npart"));
  ASSERT_TRUE(pty.pendingInputIs(9));
  size_t count = 0;
  ASSERT_EQ(line.collect(&count), 0);
  pty.hangUp();
  // Seen here, kept for the wait.
  ASSERT_EQ(line.collect(&count), 0);
  EXPECT_EQ(count, 9u);

  EXPECT_EQ(BackgroundWait(line).result(), 0);
  EXPECT_EQ(takeQueued(line), "last\npart");
  EXPECT_EQ(BackgroundWait(line).result(), EIO);
  EXPECT_EQ(BackgroundWait(line).result(), EIO);
}

TEST_F(SerialLineTest, PurgeDiscardsQueuedBytesAndTheirLineFeed) {
  ASSERT_TRUE(pty.send("old\n"));
  ASSERT_TRUE(pty.pendingInputIs(4));
  size_t count = 0;
  ASSERT_EQ(line.collect(&count), 0);
  ASSERT_TRUE(pty.send("older"));
  ASSERT_TRUE(pty.pendingInputIs(5));

  ASSERT_EQ(line.purge(), 0);
  EXPECT_TRUE(pty.pendingInputIs(0));
  EXPECT_EQ(takeQueued(line), "");
  BackgroundWait wait(line);
  EXPECT_EQ(wait.stop(), SerialLine::kWaitStopped);
}

TEST_F(SerialLineTest, PortIsBusyForASecondOpenUntilClosed) {
  DeviceLine second;
  EXPECT_EQ(second.open(pty.path()), EBUSY);
  EXPECT_FALSE(second.isOpen());
  line.close();
  EXPECT_EQ(second.open(pty.path()), 0);
  {
    DeviceLine third;
    EXPECT_EQ(third.open(pty.path()), EBUSY);
  }
  second.close();
  {
    DeviceLine fourth;
    EXPECT_EQ(fourth.open(pty.path()), 0);
  }
  EXPECT_EQ(line.open(pty.path()), 0);  // the destructor let it go
}

TEST(SerialLineClosedTest, MissingDeviceIsEnoent) {
  DeviceLine line;
  EXPECT_EQ(line.open("/dev/sercap-no-such-device"), ENOENT);
  EXPECT_FALSE(line.isOpen());
}

TEST(SerialLineClosedTest, EveryOperationOnAClosedLineSaysEbadf) {
  TestPty pty;
  ASSERT_TRUE(pty.ok());
  DeviceLine line;
  ASSERT_EQ(line.open(pty.path()), 0);
  EXPECT_EQ(line.check(), 0);
  line.close();
  line.close();

  EXPECT_FALSE(line.isOpen());
  EXPECT_EQ(line.check(), EBADF);
  size_t count = 1;
  EXPECT_EQ(line.collect(&count), EBADF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(line.awaitLine(), EBADF);
  EXPECT_EQ(line.purge(), EBADF);
  EXPECT_EQ(line.configure(LineSettings{}).error, EBADF);
  EXPECT_EQ(line.applySignal(LineSignal::kSetDtr), EBADF);
  line.transmit("x", 1);
  EXPECT_EQ(line.unsent(), 0u);
  uint8_t byte;
  EXPECT_EQ(line.take(&byte, 1), 0u);
}

struct ModeCase {
  int32_t rate;
  Parity parity;
  StopBits stopBits;
  ModemLines modemLines;
};

void PrintTo(const ModeCase& c, std::ostream* os) {
  *os << "rate " << c.rate << " parity " << int(c.parity) << " stop " << int(c.stopBits)
      << " modem lines " << int(c.modemLines);
}

bool driverKeepsParity(int fd) {
  struct termios saved, t;
  if (tcgetattr(fd, &saved) != 0) return false;
  t = saved;
  t.c_cflag |= PARENB;
  bool kept = tcsetattr(fd, TCSANOW, &t) == 0 && tcgetattr(fd, &t) == 0 && (t.c_cflag & PARENB);
  tcsetattr(fd, TCSANOW, &saved);
  return kept;
}

class LineModeTest : public SerialLineTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(LineModeTest, AppliesARawLineAtTheExactRate) {
  const ModeCase c = GetParam();
  LineSettings settings;
  settings.baudRate = c.rate;
  settings.parity = c.parity;
  settings.stopBits = c.stopBits;
  settings.modemLines = c.modemLines;
  ASSERT_EQ(line.configure(settings).error, 0);

  uint32_t in = 0, out = 0;
  ASSERT_EQ(serial_detail::getLineRates(pty.probe(), &in, &out), 0);
  EXPECT_EQ(out, static_cast<uint32_t>(c.rate));
  EXPECT_EQ(in, static_cast<uint32_t>(c.rate));

  struct termios t;
  ASSERT_EQ(tcgetattr(pty.probe(), &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | INPCK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  // The pseudo-terminal driver drops PARENB whatever it is given.
  if (driverKeepsParity(pty.probe())) {
    EXPECT_EQ((t.c_cflag & PARENB) != 0, c.parity != Parity::kNone);
  }
  EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parity == Parity::kOdd);
  EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == StopBits::kTwo);
  EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.modemLines == ModemLines::kHandshake);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, LineModeTest,
    ::testing::Values(ModeCase{31250, Parity::kNone, StopBits::kOne, ModemLines::kHigh},
                      ModeCase{250000, Parity::kOdd, StopBits::kTwo, ModemLines::kLow},
                      ModeCase{9600, Parity::kEven, StopBits::kOne, ModemLines::kHandshake},
                      ModeCase{115200, Parity::kNone, StopBits::kTwo, ModemLines::kHigh}));

TEST_F(SerialLineTest, RawLinePassesBytesUntouchedAndEchoesNothing) {
  ASSERT_TRUE(pty.send("a\rb\x11\x13\x03\n"));
  EXPECT_EQ(BackgroundWait(line).result(), 0);
  EXPECT_EQ(takeQueued(line), "a\rb\x11\x13\x03\n");

  line.transmit("x\n", 2);
  EXPECT_EQ(pty.receive(2), "x\n");  // no echo of the input ahead of it, no CR added
}

TEST_F(SerialLineTest, RefusesSettingsTheLineCannotHave) {
  constexpr Parity kNoParity = Parity::kNone;
  constexpr StopBits kOneStop = StopBits::kOne;
  constexpr ModemLines kHigh = ModemLines::kHigh;
  const LineSettings refused[] = {{0, kNoParity, kOneStop, kHigh},
                                  {-9600, kNoParity, kOneStop, kHigh},
                                  {INT32_MIN, kNoParity, kOneStop, kHigh},
                                  {9600, static_cast<Parity>(3), kOneStop, kHigh},
                                  {9600, kNoParity, static_cast<StopBits>(1), kHigh}};
  for (const LineSettings& s : refused) {
    EXPECT_EQ(line.configure(s).error, EINVAL)
        << s.baudRate << " " << int(s.parity) << " " << int(s.stopBits);
  }
  uint32_t in = 0, out = 0;
  ASSERT_EQ(serial_detail::getLineRates(pty.probe(), &in, &out), 0);
  EXPECT_EQ(out, 9600u);  // still the rate from before
}

std::string numberedText(size_t atLeast) {
  std::string text;
  for (int i = 0; text.size() < atLeast; ++i) text += std::to_string(i) + ",";
  return text;
}

// More than the pseudo-terminal takes at once: the rest goes out as it is
// taken, whether the worker's wait or the supervisor's awaitSent() sends it.
TEST_F(SerialLineTest, LongTextGoesOutWhole) {
  for (bool workerSends : {true, false}) {
    SCOPED_TRACE(workerSends ? "sent while the worker waits" : "sent by awaitSent()");
    const std::string text = numberedText(200000);
    std::future<std::string> received =
        std::async(std::launch::async, [this, n = text.size()] { return pty.receive(n); });
    std::unique_ptr<BackgroundWait> worker;
    if (workerSends) worker = std::make_unique<BackgroundWait>(line);
    line.transmit(text.data(), text.size());
    if (!workerSends) {
      for (int i = 0; i < 600 && line.awaitSent(100ms) != 0; ++i) {
      }
    }
    EXPECT_EQ(received.get(), text);
    // The sender counts its last write after the reader may have seen it;
    // awaitSent() takes the count only once the sender is done with it.
    EXPECT_EQ(line.awaitSent(1000ms), 0u);
    if (worker) {
      EXPECT_EQ(worker->stop(), SerialLine::kWaitStopped);
    }
    line.close();
    ASSERT_EQ(line.open(pty.path()), 0);
  }
}

TEST_F(SerialLineTest, HeldTextWaitsAndTheNextFollowsIt) {
  ASSERT_EQ(line.applySignal(LineSignal::kSetXoff), 0);  // output held as after an XOFF
  line.transmit("held", 4);
  EXPECT_EQ(line.awaitSent(200ms), 4u);  // gives up after its limit

  ASSERT_EQ(line.applySignal(LineSignal::kSetXon), 0);
  line.transmit("go", 2);
  for (int i = 0; i < 100 && line.awaitSent(100ms) != 0; ++i) {
  }
  EXPECT_EQ(pty.receive(6), "heldgo");
}

// What a pseudo-terminal shows of each signal: XOFF and XON hold and release
// output (HeldTextWaitsAndTheNextFollowsIt), a break is taken, the modem
// lines it lacks are failures with a number, and the rest is refused. The
// modem lines themselves are seen on a real UART.
TEST_F(SerialLineTest, SignalsOnALineWithoutModemLines) {
  using enum LineSignal;
  for (LineSignal s : {kSetXoff, kSetXon, kSetBreak, kClrBreak}) {
    EXPECT_EQ(line.applySignal(s), 0) << "code " << static_cast<int>(s);
  }
  for (LineSignal s : {kSetRts, kClrRts, kSetDtr, kClrDtr}) {
    EXPECT_GT(line.applySignal(s), 0) << "code " << static_cast<int>(s);
  }
  EXPECT_EQ(line.applySignal(kResetDevice), ENOTSUP);  // a device reset has no counterpart here
  EXPECT_EQ(line.applySignal(static_cast<LineSignal>(0)), EINVAL);
  EXPECT_EQ(line.applySignal(static_cast<LineSignal>(10)), EINVAL);
}

}  // namespace
