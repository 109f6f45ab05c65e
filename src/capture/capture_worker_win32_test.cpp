// The capture worker on a COM port whose adapter is unplugged during the
// run, played through the table of communications functions: whichever
// call notices (the wait, ClearCommError after a line), the run ends with
// the line failure, and what was read before is in the file.
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
}

// Two lines at once; the port answers the worker's first check and the
// read, then is gone: the check after the lines fails.
TEST_F(UnpluggedWorkerTest, GoneWhileALineIsProcessedEndsWithTheLineFailure) {
  driver.send("one\ntwo\n");
  driver.unplugAfter(2, ERROR_ACCESS_DENIED);
  startLoop();
  EXPECT_EQ(loopResult(), kLineFailure);
  EXPECT_EQ(captured(), "one\r\ntwo\r\n");
}

}  // namespace
