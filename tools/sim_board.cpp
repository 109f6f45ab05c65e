#include "sim_board.h"

namespace {

constexpr std::string_view kBootLog =
    "\r\n"
    "SimBoot 2.3 (sercap-sim board)\r\n"
    "\r\n"
    "CPU:   simulated, 1 core\r\n"
    "DRAM:  256 MiB\r\n"
    "Flash: 16 MiB\r\n"
    "In:    serial\r\n"
    "Out:   serial\r\n"
    "Net:   eth0\r\n";

constexpr std::string_view kCountdown = "Hit any key to stop autoboot: ";

constexpr std::string_view kSelfTest =
    "Running self-test ...\r\n"
    "  memory    ok\r\n"
    "  flash     ok\r\n"
    "  ethernet  ok\r\n"
    "  watchdog  ok\r\n"
    "ALL TESTS PASSED\r\n";

constexpr std::string_view kKernelLog =
    "## Booting kernel from flash ...\r\n"
    "Starting kernel ...\r\n"
    "\r\n"
    "[    0.000000] Booting Linux on physical CPU 0x0\r\n"
    "[    0.412000] serial: ttyS0 at MMIO 0x10000000 is a 16550A\r\n"
    "[    1.073000] eth0: link up, 100Mbps, full-duplex\r\n"
    "[    1.590000] Run /sbin/init as init process\r\n"
    "\r\n"
    "Welcome to the simulated board\r\n"
    "\r\n";

constexpr std::string_view kLogin = "simboard login: ";

constexpr std::string_view kHelp =
    "boot          - boot the kernel\r\n"
    "help          - print this list\r\n"
    "run selftest  - run the self-test, then boot\r\n";

// The countdown's number as the board shows it, two wide.
std::string number(int n) {
  return n < 10 ? " " + std::to_string(n) : std::to_string(n);
}

}  // namespace

SimBoard::SimBoard(std::chrono::milliseconds tick, std::chrono::milliseconds linePause)
    : tick_(tick), linePause_(linePause) {}

void SimBoard::powerOn(Clock::time_point now) {
  if (state_ != State::kOff) return;
  count_ = 3;
  say(kBootLog, std::string(kCountdown) + number(count_), State::kCountdown, now);
}

void SimBoard::say(std::string_view lines, std::string_view prompt, State then,
                   Clock::time_point now) {
  state_ = State::kPrinting;
  // The prompt comes a pause after the last line, as a board's does: never
  // in the same read as a line feed.
  script_ = std::string(lines) + std::string(prompt);
  then_ = then;
  nextLine_ = now;
}

void SimBoard::received(std::string_view bytes, Clock::time_point now) {
  for (char c : bytes) key(c, now);
}

void SimBoard::key(char c, Clock::time_point now) {
  if (state_ == State::kCountdown) {
    // The countdown stops where it stands; the key itself is not kept.
    say("\b\b" + number(0) + "\r\n", kPrompt, State::kPrompt, now);
    return;
  }
  if (state_ != State::kPrompt) return;
  const bool crLf = lastWasCr_ && c == '\n';
  lastWasCr_ = c == '\r';
  if (crLf) return;
  if (c == '\r' || c == '\n') {
    const std::string line = typed_;
    typed_.clear();
    command(line, now);
  } else if (c == '\b' || c == 0x7F) {
    if (!typed_.empty()) {
      typed_.pop_back();
      script_ += "\b \b";
    }
  } else if (c >= 0x20 && c < 0x7F) {
    typed_ += c;
    script_ += c;
  }
}

void SimBoard::command(const std::string& line, Clock::time_point now) {
  // The echo so far, then the line's end.
  std::string out = script_ + "\r\n";
  script_.clear();
  if (line == "run selftest") {
    say(out + std::string(kSelfTest) + std::string(kKernelLog), kLogin, State::kLogin, now);
  } else if (line == "boot") {
    say(out + std::string(kKernelLog), kLogin, State::kLogin, now);
  } else if (line == "help") {
    say(out + std::string(kHelp), kPrompt, State::kPrompt, now);
  } else if (line.empty()) {
    say(out, kPrompt, State::kPrompt, now);
  } else {
    say(out + "Unknown command '" + line + "' - try 'help'\r\n", kPrompt, State::kPrompt, now);
  }
}

void SimBoard::printDue(Clock::time_point now, std::string* out) {
  if (state_ == State::kPrompt && !script_.empty()) {
    *out += script_;  // the echo, at once
    script_.clear();
    return;
  }
  if (state_ == State::kCountdown) {
    while (count_ > 0 && now >= nextTick_) {
      *out += "\b\b" + number(--count_);
      nextTick_ += tick_;
    }
    return;
  }
  if (state_ != State::kPrinting) return;
  while (!script_.empty() && now >= nextLine_) {
    const size_t end = script_.find("\r\n");
    const size_t length = end == std::string::npos ? script_.size() : end + 2;
    *out += script_.substr(0, length);
    script_.erase(0, length);
    nextLine_ += linePause_;
  }
  if (!script_.empty()) return;
  state_ = then_;
  nextTick_ = now + tick_;
}

SimBoard::Clock::time_point SimBoard::wakeAt() const {
  switch (state_) {
    case State::kPrinting:
      return nextLine_;
    case State::kCountdown:
      return count_ > 0 ? nextTick_ : Clock::time_point::max();
    case State::kPrompt:
      return script_.empty() ? Clock::time_point::max() : Clock::time_point::min();
    default:
      return Clock::time_point::max();
  }
}
