#include "control/console_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A console that records what it is given; it can be made to stop taking
// text until released. Its state is shared with the sink, so a writer thread
// left behind in a write outlives the test safely.
class RecordingConsole {
 public:
  ConsoleSink sink(bool interactive) {
    ConsoleSink s;
    s.interactive = interactive;
    s.write = [state = state_](const char* text, size_t length) {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->changed.wait(lock, [&] { return !state->held; });
      state->taken.append(text, length);
      return true;
    };
    return s;
  }
  void hold() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->held = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->held = false;
    state_->changed.notify_all();
  }
  std::string taken() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->taken;
  }
  // Whether no writer holds the sink any more: every writer thread is gone.
  bool released() const { return state_.use_count() == 1; }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    std::string taken;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Everything printed before finish() reaches the console, in each thread's
// order, for a buffered and for an interactive console: the platform's
// stream hands on its last text before it closes.
TEST(ConsoleWriter, HandsOnEverythingPrintedBeforeFinish) {
  for (bool interactive : {false, true}) {
    RecordingConsole console;
    std::string expected[2];
    {
      ConsoleWriter writer(console.sink(interactive));
      std::vector<std::thread> printers;
      for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 2000; ++i) {
          expected[t] += "thread " + std::to_string(t) + " line " + std::to_string(i) + "\n";
        }
        printers.emplace_back([&writer, t] {
          for (int i = 0; i < 2000; ++i) {
            std::fprintf(writer.stream(), "thread %d line %d\n", t, i);
          }
        });
      }
      for (std::thread& p : printers) p.join();
      writer.finish(std::chrono::seconds(30));
    }
    const std::string taken = console.taken();
    EXPECT_EQ(taken.size(), expected[0].size() + expected[1].size()) << interactive;
    for (int t = 0; t < 2; ++t) {
      // The thread's lines, in order, with the other thread's in between.
      std::string own;
      const std::string mark = "thread " + std::to_string(t) + " ";
      for (size_t at = taken.find(mark); at != std::string::npos; at = taken.find(mark, at + 1)) {
        own += taken.substr(at, taken.find('\n', at) + 1 - at);
      }
      EXPECT_EQ(own, expected[t]) << "thread " << t << ", interactive " << interactive;
    }
  }
}

// A process whose console took everything ends with no thread of the writer
// left: one still running at exit would hold the process (the thread
// sanitizer waits a second for it), and it could still touch the console.
TEST(ConsoleWriter, EndsItsThreadOnceTheConsoleTookEverything) {
  // A thread left running usually ends a moment later; many writers in a row
  // make sure one is seen.
  for (int i = 0; i < 200; ++i) {
    const bool interactive = i % 2 == 1;
    RecordingConsole console;
    {
      ConsoleWriter writer(console.sink(interactive));
      std::fputs("last line\n", writer.stream());
      writer.finish(std::chrono::seconds(30));
    }
    ASSERT_TRUE(console.released()) << "writer " << i;
    ASSERT_EQ(console.taken(), "last line\n") << "writer " << i;
  }
}

// What a console shows without waiting for more: a prompt without a line
// feed, and the first print after a quiet spell, each reach an interactive
// console while the writer keeps going.
TEST(ConsoleWriter, InteractiveConsoleGetsEachPrintAtOnce) {
  RecordingConsole console;
  ConsoleWriter writer(console.sink(true));
  auto shows = [&console](const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (console.taken() != text && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return console.taken() == text;
  };
  std::fputs("prompt> ", writer.stream());
  EXPECT_TRUE(shows("prompt> ")) << console.taken();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::fputc('.', writer.stream());
  EXPECT_TRUE(shows("prompt> .")) << console.taken();
  std::fprintf(writer.stream(), "%d", 42);
  EXPECT_TRUE(shows("prompt> .42")) << console.taken();
  writer.finish(std::chrono::seconds(1));
}

// A console that takes nothing never holds up the printing, and finish()
// gives up on it: what does not fit is dropped and counted.
TEST(ConsoleWriter, ConsoleThatTakesNothingHoldsNothingUp) {
  RecordingConsole console;
  console.hold();
  {
    ConsoleWriter writer(console.sink(true));
    const std::string line(1000, 'x');
    for (size_t i = 0; i < 3 * ConsoleWriter::kCapacity / line.size(); ++i) {
      std::fprintf(writer.stream(), "%s\n", line.c_str());
    }
    writer.finish(std::chrono::milliseconds(100));
    EXPECT_GT(writer.dropped(), 0u);
  }
  // The abandoned writer thread may now end.
  console.release();
}

}  // namespace
