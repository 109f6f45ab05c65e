// The capture worker on a COM port whose adapter is unplugged during the
// run, played through the table of communications functions: whichever
// call notices (the wait, ClearCommError after a line), the run ends with
// the line failure and its message, and what was read before is in the
// file. A port that answers no ClearCommError at all is captured by its
// reads.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "capture/capture_file.h"
#include "capture/capture_worker.h"
#include "serial/device_line.h"
#include "testing/console_capture.h"
#include "testing/played_driver_win32.h"
#include "testing/temp_dir.h"

namespace {

using std::chrono::seconds;

constexpr int kLineFailure = 32;

class UnpluggedWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (clearCommErrorFails()) driver.failClearCommError(ERROR_INVALID_PARAMETER);
    ASSERT_EQ(line.open("COM7"), 0);
    ASSERT_EQ(line.configure(LineSettings()).step, LineStep::kNone);
    ASSERT_EQ(file.open(folder.file("capture.spt").c_str()), 0);
    state.port = &line;
    state.file = &file;
    state.countdown.set(settings.timeoutSeconds);
    // The filter takes the file as the worker is made.
    worker = std::make_unique<CaptureWorker>(settings, state, console.stream());
  }
  void TearDown() override {
    // A loop still running (the test failed) is stopped, never waited for
    // forever.
    state.stopRequested.store(true);
    line.stopWaiting();
    if (loop.valid()) loop.wait();
    line.close();
  }

  // Whether the driver fails every ClearCommError from before the open.
  virtual bool clearCommErrorFails() const { return false; }

  // Starts the capture loop on a thread of its own.
  void startLoop() {
    loop = std::async(std::launch::async, [this] { return worker->captureLoop(); });
  }
  // The loop's result; -99 if it has not ended within 10 s.
  int loopResult() {
    if (loop.wait_for(seconds(10)) != std::future_status::ready) return -99;
    return loop.get();
  }

  // Waits until the line has taken in everything sent and waits for more.
  void awaitDrained() {
    const auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (!driver.drained() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(driver.drained());
  }

  std::string captured() {
    file.flush();
    return readWholeFile(folder.file("capture.spt"));
  }

  TempDir folder;
  ConsoleCapture console;
  PlayedDriver driver;
  DeviceLine line;
  CaptureFile file{console.stream()};
  WorkerSettings settings;
  WorkerState state;
  std::unique_ptr<CaptureWorker> worker;
  std::future<int> loop;
};

TEST_F(UnpluggedWorkerTest, AReadThatNeverCompletesEndsWithTheLineFailure) {
  driver.send("one\n");
  startLoop();
  awaitDrained();
  driver.failClearCommError(ERROR_BAD_COMMAND);
  EXPECT_EQ(loopResult(), kLineFailure);
  EXPECT_EQ(captured(), "one\r\n");
  EXPECT_EQ(console.text(), "\n>>>WaitCommEvent error : 22\n");
}

// Two lines at once; the port answers the worker's first check and the
// read, then is gone: the check after the lines fails.
TEST_F(UnpluggedWorkerTest, GoneWhileALineIsProcessedEndsWithTheLineFailure) {
  driver.send("one\ntwo\n");
  driver.unplugAfter(2, ERROR_ACCESS_DENIED);
  startLoop();
  EXPECT_EQ(loopResult(), kLineFailure);
  EXPECT_EQ(captured(), "one\r\ntwo\r\n");
  EXPECT_EQ(console.text(), "\n>>>WaitCommEvent error : 5\n");
}

// Gone before the worker's first look: reported as any other loss.
TEST_F(UnpluggedWorkerTest, GoneBeforeTheFirstLookEndsWithTheLineFailure) {
  driver.failClearCommError(ERROR_ACCESS_DENIED);
  startLoop();
  EXPECT_EQ(loopResult(), kLineFailure);
  EXPECT_EQ(console.text(), "\n>>>WaitCommEvent error : 5\n");
}

class ReadsAloneWorkerTest : public UnpluggedWorkerTest {
 protected:
  bool clearCommErrorFails() const override { return true; }
};

// The driver fails ClearCommError with 87 from before the open and then
// delivers lines: they are captured, and a failed read ends the run as a
// line failure.
TEST_F(ReadsAloneWorkerTest, LinesAreCapturedUntilAReadFails) {
  driver.send("one\ntwo\n");
  startLoop();
  awaitDrained();
  driver.send("three\n");
  awaitDrained();
  driver.endPendingRead(ERROR_GEN_FAILURE);
  EXPECT_EQ(loopResult(), kLineFailure);
  EXPECT_EQ(captured(), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(console.text(), "\n>>>WaitCommEvent error : 31\n");
}

}  // namespace
