// The simulated board (sercap-sim --board): a board that speaks no end mark.
// Powered on, it prints a boot log and a countdown that waits for a key:
//   Hit any key to stop autoboot:  3
// counted down once a tick with backspaces and no line feed, then standing at
// 0 until a key comes (a real one would boot; this one waits, so that a test
// never races it). The key gives the "=> " prompt, which echoes what it is
// typed and runs "run selftest" (the self-test, ending "ALL TESTS PASSED",
// then the boot), "boot" and "help"; the boot ends at a "login: " prompt.
// Lines end in CR LF, as a board's do.
//
// Pure: it is told what it received and the time, and says what it prints
// by then, so its tests need no terminal.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

class SimBoard {
 public:
  using Clock = std::chrono::steady_clock;

  // `tick`: one step of the countdown. Lines of the logs follow each other
  // `linePause` apart.
  explicit SimBoard(std::chrono::milliseconds tick = std::chrono::seconds(1),
                    std::chrono::milliseconds linePause = std::chrono::milliseconds(40));

  // The boot log begins. Only the first call counts.
  void powerOn(Clock::time_point now);
  bool poweredOn() const { return state_ != State::kOff; }

  // Bytes from the line. They are ignored while the board prints a log
  // (booting, the self-test) and once it is at the login prompt.
  void received(std::string_view bytes, Clock::time_point now);

  // Appends to `out` what the board prints by `now`.
  void printDue(Clock::time_point now, std::string* out);
  // When printDue() next has something to print; max while it waits for input.
  Clock::time_point wakeAt() const;

  // The login prompt has been printed: the board has nothing more to say.
  bool atLogin() const { return state_ == State::kLogin && script_.empty(); }

  // The prompt a key at the countdown gives.
  static constexpr const char* kPrompt = "=> ";

 private:
  enum class State { kOff, kPrinting, kCountdown, kPrompt, kLogin };

  // Prints `lines` (each ending in "\r\n") and then `prompt` `linePause_`
  // apart, the first at once; the board is then in state `then`.
  void say(std::string_view lines, std::string_view prompt, State then, Clock::time_point now);
  void key(char c, Clock::time_point now);
  void command(const std::string& line, Clock::time_point now);

  const std::chrono::milliseconds tick_;
  const std::chrono::milliseconds linePause_;
  State state_ = State::kOff;
  int count_ = 0;  // the countdown's number
  Clock::time_point nextTick_;
  std::string typed_;       // the prompt's line so far
  bool lastWasCr_ = false;  // a line feed right after CR ends no second line
  // What is still to print while kPrinting, and what comes after.
  std::string script_;
  Clock::time_point nextLine_;
  State then_ = State::kOff;
};
