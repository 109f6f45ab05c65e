// A COM port on drivers that behave as real ones do, played through the
// table of communications functions: unplugged adapters, reads that never
// complete, spurious cancellations, refused event masks, empty reads, line
// errors, drivers that answer no ClearCommError, keep a small queue or pass
// RTS on only with DTR; and what the line asks of the driver.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "serial/device_line.h"
#include "serial/port_opening.h"
#include "testing/console_capture.h"
#include "testing/played_driver_win32.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

constexpr int kNotReturned = -99;

// awaitLine() on a thread of its own. A test that ends before it returns
// stops the line, so that it never hangs.
class LineWait {
 public:
  explicit LineWait(SerialLine& line)
      : line_(line),
        result_(std::async(std::launch::async, [&line] { return line.awaitLine(); })) {}
  ~LineWait() {
    if (!result_.valid()) return;
    line_.stopWaiting();
    result_.wait();
  }
  // What awaitLine() returned, or kNotReturned if it has not within `limit`.
  int result(seconds limit = seconds(10)) {
    if (result_.wait_for(limit) != std::future_status::ready) return kNotReturned;
    return result_.get();
  }

 private:
  SerialLine& line_;
  std::future<int> result_;
};

class PlayedLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(line.open("\\\\.\\COM7"), 0);
    ASSERT_EQ(line.purge(), 0);
    LineSettings settings;
    settings.modemLines = modemLines();
    const LineFault fault = line.configure(settings);
    ASSERT_EQ(fault.step, LineStep::kNone) << fault.error;
  }
  void TearDown() override {
    line.stopWaiting();
    line.close();
  }
  virtual ModemLines modemLines() const { return ModemLines::kHigh; }

  // Waits until the line has a read pending with the driver.
  void awaitPendingRead() {
    const auto deadline = steady_clock::now() + seconds(10);
    while (!driver.readPending() && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_TRUE(driver.readPending());
  }

  std::string takeAll() {
    size_t queued = 0;
    EXPECT_EQ(line.collect(&queued), 0);
    std::string bytes(queued, '\0');
    bytes.resize(line.take(reinterpret_cast<uint8_t*>(bytes.data()), queued));
    return bytes;
  }

  PlayedDriver driver;
  DeviceLine line;
};

TEST_F(PlayedLineTest, LinesArriveThroughPendingAndImmediateReads) {
  driver.send("at once\n");
  EXPECT_EQ(LineWait(line).result(), 0);
  EXPECT_EQ(takeAll(), "at once\n");

  LineWait waited(line);
  awaitPendingRead();
  driver.send("later\n");
  EXPECT_EQ(waited.result(), 0);
  EXPECT_EQ(takeAll(), "later\n");
  EXPECT_FALSE(driver.readCountPointerGiven()) << "an overlapped read takes no count pointer";
}

// Each way an adapter goes away, with and without a read pending, ends the
// wait with an error; lines that came before are still delivered first.
TEST_F(PlayedLineTest, AnUnpluggedAdapterFailsTheWait) {
  driver.send("last words\n");
  ASSERT_EQ(LineWait(line).result(), 0);
  EXPECT_EQ(takeAll(), "last words\n");
  EXPECT_EQ(line.check(), 0);

  LineWait waited(line);
  awaitPendingRead();
  driver.failClearCommError(ERROR_ACCESS_DENIED);
  driver.endPendingRead(ERROR_ACCESS_DENIED);
  EXPECT_EQ(waited.result(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(line.check(), ERROR_ACCESS_DENIED);
}

// Some USB drivers never complete the pending read after an unplug: the idle
// line still notices, within about a second, from ClearCommError.
TEST_F(PlayedLineTest, AReadThatNeverCompletesIsNoticedWhileIdle) {
  LineWait waited(line);
  awaitPendingRead();
  const auto unplugged = steady_clock::now();
  driver.failClearCommError(ERROR_BAD_COMMAND);
  EXPECT_EQ(waited.result(), ERROR_BAD_COMMAND);
  EXPECT_LT(steady_clock::now() - unplugged, seconds(5));
}

// A cancellation sercap did not ask for, with the port still answering:
// the read is issued again and the line goes on.
TEST_F(PlayedLineTest, ASpuriousCancellationIsReadAgain) {
  LineWait waited(line);
  awaitPendingRead();
  driver.endPendingRead(ERROR_OPERATION_ABORTED);
  awaitPendingRead();
  driver.send("still here\n");
  EXPECT_EQ(waited.result(), 0);
  EXPECT_EQ(takeAll(), "still here\n");
}

// A read that completes without bytes, and line errors the driver reports,
// are no failure of the line.
TEST_F(PlayedLineTest, EmptyReadsAndLineErrorsAreNoFailure) {
  LineWait waited(line);
  awaitPendingRead();
  driver.endPendingRead(0);
  driver.reportLineErrors(CE_OVERRUN | CE_FRAME | CE_BREAK);
  awaitPendingRead();
  driver.send("after\n");
  EXPECT_EQ(waited.result(), 0);
  EXPECT_EQ(line.check(), 0);
  EXPECT_EQ(takeAll(), "after\n");
}

// Only the line's own stop ends the wait with kWaitStopped; the cancelled
// read is no error.
TEST_F(PlayedLineTest, StopWaitingEndsAPendingWait) {
  LineWait waited(line);
  awaitPendingRead();
  line.stopWaiting();
  EXPECT_EQ(waited.result(), SerialLine::kWaitStopped);
}

// A driver that ignores cancellation never completes the read the worker
// issued. Windows holds a thread's end until the requests bound to it
// complete: the worker's end, and the join that waits for it, would wait up
// to five minutes. No request is bound to the thread that issued it, and
// close() gives up on the read within about two seconds.
TEST_F(PlayedLineTest, AReadTheDriverNeverCompletesHoldsNoThreadsEnd) {
  driver.ignoreCancellation();
  int waited = kNotReturned;
  std::thread worker([this, &waited] { waited = line.awaitLine(); });
  awaitPendingRead();
  line.stopWaiting();
  worker.join();
  EXPECT_EQ(waited, SerialLine::kWaitStopped);
  EXPECT_EQ(driver.requestsPendingAtThreadExit(), 0);
  EXPECT_TRUE(driver.readPending()) << "the driver still holds the read";
  const auto before = steady_clock::now();
  line.close();
  EXPECT_LT(steady_clock::now() - before, seconds(5));
}

// Transmissions the driver never completes hold close() up for about two
// seconds in all, not two seconds each.
TEST_F(PlayedLineTest, CloseBoundsItsWaitForTransmissions) {
  driver.hangWrites();
  for (int i = 0; i < 5; ++i) line.transmit("stuck", 5);
  EXPECT_EQ(line.unsent(), 25u);
  const auto before = steady_clock::now();
  line.close();
  EXPECT_LT(steady_clock::now() - before, seconds(5));
}

TEST(PlayedLineOpening, ARefusedEventMaskIsNoFailure) {
  PlayedDriver driver;
  driver.refuseEventMasks();
  DeviceLine line;
  ASSERT_EQ(line.open("COM3"), 0);
  EXPECT_EQ(line.configure(LineSettings()).step, LineStep::kNone);
  line.close();
}

// With hardware handshake the driver must stop the sender while there is
// still room for the bytes in flight: an eighth of the driver's input queue
// free, and it resumes at half; other flow control keeps both at 0. The
// queue is the one the driver has, which may be smaller than the one asked
// for, and where it tells no size its own limits stand. A limit beyond its
// queue would be refused (SetCommState error 87, status 8).
TEST(PlayedLineOpening, HandshakeLimitsFitTheQueueTheDriverHas) {
  enum class Queue { kGrows, kStays4096, kUntold };
  const struct {
    const char* name;
    Queue queue;
    ModemLines lines;
    WORD xon;
    WORD xoff;
  } cases[] = {
      {"grown as asked", Queue::kGrows, ModemLines::kHandshake, 15360 / 2, 15360 / 8},
      {"kept at 4096", Queue::kStays4096, ModemLines::kHandshake, 2048, 512},
      {"size untold", Queue::kUntold, ModemLines::kHandshake, 1000, 250},
      {"lines held low", Queue::kStays4096, ModemLines::kLow, 0, 0},
      {"lines held high", Queue::kStays4096, ModemLines::kHigh, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlayedDriver driver;
    driver.ownHandshakeLimits(1000, 250);
    if (c.queue == Queue::kStays4096) driver.keepInputQueue(4096);
    if (c.queue == Queue::kUntold) driver.reportNoQueueSize();
    DeviceLine line;
    ASSERT_EQ(line.open("COM3"), 0);
    LineSettings settings;
    settings.modemLines = c.lines;
    const LineFault fault = line.configure(settings);
    ASSERT_EQ(fault.step, LineStep::kNone) << fault.error;
    const DCB dcb = driver.lastLineSettings();
    EXPECT_EQ(dcb.XonLim, c.xon);
    EXPECT_EQ(dcb.XoffLim, c.xoff);
    driver.send("captured\n");
    EXPECT_EQ(LineWait(line).result(), 0);
    size_t queued = 0;
    EXPECT_EQ(line.collect(&queued), 0);
    EXPECT_EQ(queued, 9u);
    line.close();
  }
}

// Windows' own CDC driver passes RTS on only with a DTR request: each RTS
// request is followed by one that keeps DTR as it stands, as the flow
// control or an earlier request left it.
TEST(PlayedLineSignals, RtsReachesABoardBehindTheCdcDriver) {
  const struct {
    const char* name;
    ModemLines lines;
    std::vector<LineSignal> requests;
    bool rts;
    bool dtr;
  } cases[] = {
      {"CLRRTS, DTR held high", ModemLines::kHigh, {LineSignal::kClrRts}, false, true},
      {"SETRTS, DTR held low", ModemLines::kLow, {LineSignal::kSetRts}, true, false},
      {"CLRDTR then SETRTS",
       ModemLines::kHigh,
       {LineSignal::kClrRts, LineSignal::kClrDtr, LineSignal::kSetRts},
       true,
       false},
      {"SETDTR, CLRRTS", ModemLines::kLow, {LineSignal::kSetDtr, LineSignal::kClrRts}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PlayedDriver driver;
    driver.playCdcSignals();
    DeviceLine line;
    ASSERT_EQ(line.open("COM3"), 0);
    LineSettings settings;
    settings.modemLines = c.lines;
    ASSERT_EQ(line.configure(settings).step, LineStep::kNone);
    for (LineSignal request : c.requests) {
      EXPECT_EQ(line.applySignal(request), 0) << static_cast<int>(request);
    }
    EXPECT_EQ(driver.wireRts(), c.rts);
    EXPECT_EQ(driver.wireDtr(), c.dtr);
    line.close();
  }
}

// Some virtual ports fail every ClearCommError (87), from before the open
// on: such a port is read by its reads alone, says so at debug levels, and
// ends at its first failed read.
TEST(PlayedLineOpening, APortWithoutClearCommErrorIsReadByItsReadsAlone) {
  PlayedDriver driver;
  driver.failClearCommError(ERROR_INVALID_PARAMETER);
  DeviceLine line;
  PortRequest request;
  request.portName = "COM3";
  request.showSettings = true;
  ConsoleCapture console;
  ASSERT_EQ(finishOpening(request, line.open("COM3"), line, console.stream()), 0);
  EXPECT_NE(console.text().find("\n>>>COM3 answers no ClearCommError (error 87): read by its "
                                "reads alone"),
            std::string::npos)
      << console.text();
  EXPECT_EQ(line.check(), 0);
  EXPECT_FALSE(line.lineErrors().has_value()) << "no counts to give";

  driver.send("first\nsecond");
  EXPECT_EQ(LineWait(line).result(), 0);
  size_t queued = 0;
  ASSERT_EQ(line.collect(&queued), 0);
  std::string bytes(queued, '\0');
  bytes.resize(line.take(reinterpret_cast<uint8_t*>(bytes.data()), queued));
  EXPECT_EQ(bytes, "first\nsecond");

  LineWait waited(line);
  const auto deadline = steady_clock::now() + seconds(10);
  while (!driver.readPending() && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  driver.endPendingRead(ERROR_GEN_FAILURE);
  EXPECT_EQ(waited.result(), ERROR_GEN_FAILURE);
  line.close();
}

}  // namespace
