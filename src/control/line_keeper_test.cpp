#include "control/line_keeper.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "serial/serial_line.h"
#include "testing/console_capture.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Error numbers with the same meaning on both platforms: 5 is a vanished
// device's (EIO; on Windows the "access denied" of a device being removed),
// 22 a setting the driver refuses (EINVAL; nothing a removed device answers).
constexpr int kGone = 5;
constexpr int kRefused = 22;

// A port that opens every time; each opening's steps answer as played, in
// order, and as a healthy port once the plays run out.
class PlayedLine : public SerialLine {
 public:
  struct Answers {
    int purge = 0;
    int settings = 0;
    int signal = 0;
  };
  explicit PlayedLine(std::vector<Answers> plays) : plays_(plays.begin(), plays.end()) {}

  int opens = 0;
  int closes = 0;

  int open(const std::string&) override {
    ++opens;
    open_ = true;
    now_ = Answers{};
    if (!plays_.empty()) {
      now_ = plays_.front();
      plays_.pop_front();
    }
    return 0;
  }
  bool isOpen() const override { return open_; }
  int purge() override { return now_.purge; }
  LineFault configure(const LineSettings&) override {
    if (now_.settings != 0) return {LineStep::kSettings, now_.settings};
    return {};
  }
  int awaitLine() override { return kWaitStopped; }
  int collect(size_t* queued) override {
    *queued = 0;
    return 0;
  }
  size_t take(uint8_t*, size_t) override { return 0; }
  int check() const override { return 0; }
  size_t unsent() const override { return 0; }
  size_t awaitSent(milliseconds) override { return 0; }
  int applySignal(LineSignal) override { return now_.signal; }
  void stopWaiting() override {}
  void close() override {
    ++closes;
    open_ = false;
  }

 protected:
  void queueTransmission(const char*, size_t) override {}

 private:
  std::deque<Answers> plays_;
  Answers now_;
  bool open_ = false;
};

struct ReturnCase {
  const char* name;
  std::vector<PlayedLine::Answers> plays;  // the reopenings' answers
  const char* signalList;
  int result;         // the run's result once the keeper is done
  int workerStarts;   // 1: the port came back and capture goes on
  int returns;        // how often it was back
  std::string lines;  // the console after the loss's own line
};

// The port was lost during a run, and is tried again. One that goes again
// while it is set up (the emptying, the settings or a signal failing as a
// vanished device's) is still away and tried again; a setting the driver
// refuses ends the run as at the start.
TEST(LineKeeper, PortGoneAgainWhileSetUpIsStillAway) {
  const std::string port = "tcp://played:1";
  const std::string back = "\n>>>port " + port + " back\n";
  const std::string lost = "\n>>>port " + port + " lost, error : 5, waiting for it\n";
  const ReturnCase cases[] = {
      {"EmptyingFails", {{kGone, 0, 0}}, nullptr, 0, 1, 1, back},
      {"SettingsFail", {{0, kGone, 0}, {0, kGone, 0}}, nullptr, 0, 1, 1, back},
      {"SignalFails",
       {{0, 0, kGone}},
       "SETDTR",
       0,
       1,
       2,
       back + "#!!Set Signal SETDTR failed 5\n" + lost + back + "#* Set Signal SETDTR\n"},
      {"SettingRefused", {{0, kRefused, 0}}, nullptr, 8, 0, 0, "\n>>>SetCommState error : 22\n"},
  };
  for (const ReturnCase& c : cases) {
    SCOPED_TRACE(c.name);
    PlayedLine line(c.plays);
    WorkerState state;
    state.port = &line;
    state.lostLine.store(kGone);
    int starts = 0;
    LineKeeper::WorkerThread worker;
    worker.start = [&] { ++starts; };
    worker.join = [] {};
    PortRequest request;
    request.portName = port.c_str();
    ConsoleCapture console;
    Interruption interruption;
    LineKeeper keeper(request, processPortEnvironment(), c.signalList, state, worker,
                      console.stream());

    // The first sleep takes the loss over; then the port is tried every
    // 100 ms until the keeper is done with it, however slow the machine.
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    do {
      keeper.sleepUntil(Clock::now() + milliseconds(200), interruption);
    } while (keeper.away() && Clock::now() < giveUp);

    EXPECT_FALSE(keeper.away());
    EXPECT_EQ(state.result.load(), c.result);
    EXPECT_EQ(starts, c.workerStarts);
    EXPECT_EQ(keeper.returns(), c.returns);
    EXPECT_EQ(line.opens, static_cast<int>(c.plays.size()) + c.workerStarts);
    EXPECT_EQ(console.text(), lost + c.lines);
  }
}

}  // namespace
