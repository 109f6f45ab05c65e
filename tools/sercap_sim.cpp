// sercap-sim: a device on a pseudo-terminal that prints a report and records
// what it is sent, so sercap can be run without hardware.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "port_link.h"
#include "report_text.h"
#include "sim_board.h"
#include "sim_options.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int gWakePipe[2] = {-1, -1};
volatile sig_atomic_t gStop = 0;

void onStopSignal(int) {
  gStop = 1;
  const int saved = errno;
  const char c = 0;
  [[maybe_unused]] ssize_t n = ::write(gWakePipe[1], &c, 1);
  errno = saved;
}

void complain(const std::string& message) {
  std::fprintf(stderr, "sercap-sim: %s\n", message.c_str());
}

bool setFlags(int fd, int statusFlags) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | statusFlags) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// The signals that stop the simulator wake the main loop through a pipe, so
// it ends at once and still removes its link and closes its files.
bool installStopSignals() {
  if (::pipe(gWakePipe) != 0 || !setFlags(gWakePipe[0], O_NONBLOCK) ||
      !setFlags(gWakePipe[1], O_NONBLOCK)) {
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  // Restarted, so a signal does not cut a record write short; poll still
  // returns and the loop sees the stop.
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    if (::sigaction(sig, &sa, nullptr) != 0) return false;
  }
  // A script that stopped reading our standard output must not kill us.
  ::signal(SIGPIPE, SIG_IGN);
  return true;
}

// The pseudo-terminal pair. The slave end stays open for our whole life so
// the line does not hang up between one opener and the next. The tests have
// a helper that does the same (testing/pty_pair.h); this shipped program keeps
// its own code rather than depend on test helpers.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  ~Pty() { hangUp(); }

  bool open(std::string* error) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        !setFlags(master, O_NONBLOCK)) {
      *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    const char* name = ::ptsname(master);
    if (name == nullptr) {
      *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
      return false;
    }
    path = name;
    slave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || ::tcgetattr(slave, &tio) != 0) {
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    // Raw, so nothing we print is echoed back and recorded as received.
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) {
      *error = "cannot set " + path + " raw: " + std::strerror(errno);
      return false;
    }
    return true;
  }

  // Bytes printed but not yet read by whoever has the line open.
  int unread() const {
    int n = 0;
    return ::ioctl(slave, FIONREAD, &n) == 0 ? n : 0;
  }

  // Closing the master is the hang-up the other side sees.
  void hangUp() {
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = slave = -1;
  }
};

// Writes what the device receives to the --record and --times files.
class Recorder {
 public:
  Recorder() = default;
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() {
    if (record_ != nullptr) std::fclose(record_);
    if (times_ != nullptr) std::fclose(times_);
  }

  bool open(const SimOptions& options, std::string* error) {
    return openOne(options.recordPath, &record_, error) &&
           openOne(options.timesPath, &times_, error);
  }

  // Flushed at once: tests read these files while we run.
  void add(const char* data, size_t size, long long msSinceStart) {
    if (record_ != nullptr) {
      std::fwrite(data, 1, size, record_);
      std::fflush(record_);
    }
    if (times_ != nullptr) {
      for (size_t i = 0; i < size; ++i) {
        std::fprintf(times_, "%lld %02x\n", msSinceStart, static_cast<unsigned char>(data[i]));
      }
      std::fflush(times_);
    }
  }

 private:
  static bool openOne(const std::string& path, FILE** file, std::string* error) {
    if (path.empty()) return true;
    *file = std::fopen(path.c_str(), "wb");
    if (*file == nullptr) *error = "cannot write " + path + ": " + std::strerror(errno);
    return *file != nullptr;
  }

  FILE* record_ = nullptr;
  FILE* times_ = nullptr;
};

// What the device prints into the line: a report, or the board's dialogue.
class Output {
 public:
  enum class Outcome { Waiting, Blocked, Failed };

  virtual ~Output() = default;
  // All is printed: the device has nothing more to say.
  virtual bool done() const = 0;
  // The device begins.
  virtual void start(Clock::time_point now) = 0;
  // Writes everything due by now. Blocked: the line takes no more for now;
  // Waiting: the rest is due later (see wakeAt) or all is printed.
  virtual Outcome writeDue(int fd, Clock::time_point now) = 0;
  // When writeDue next has something to do; now when it was blocked.
  virtual Clock::time_point wakeAt(Clock::time_point now) const = 0;
  // What the device received once it began.
  virtual void received(const char* /*data*/, size_t /*size*/, Clock::time_point /*now*/) {}
};

// Plays the report into the line: its steps in order, each step's pause after
// its bytes, the whole `repeat` times, paced to `rate` bytes per second.
class Player final : public Output {
 public:
  Player(const Report& report, long repeat, long rate)
      : report_(report), playsLeft_(report.empty() ? 0 : repeat), rate_(rate) {}

  bool done() const override { return playsLeft_ == 0; }

  void start(Clock::time_point now) override {
    paceStart_ = now;
    paceSent_ = 0;
  }

  Outcome writeDue(int fd, Clock::time_point now) override {
    for (;;) {
      settle(now);
      if (done() || pausing_) return Outcome::Waiting;
      const std::string& bytes = report_[step_].bytes;
      size_t allowed = std::min<size_t>(bytes.size() - offset_, 1 << 16);
      if (rate_ > 0) {
        const long long due = dueByNow(now);
        if (due <= 0) return Outcome::Waiting;
        allowed = std::min<size_t>(allowed, static_cast<size_t>(due));
      }
      const ssize_t n = ::write(fd, bytes.data() + offset_, allowed);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::Blocked : Outcome::Failed;
      }
      offset_ += static_cast<size_t>(n);
      paceSent_ += n;
    }
  }

  Clock::time_point wakeAt(Clock::time_point now) const override {
    if (done()) return Clock::time_point::max();
    if (pausing_) return pauseUntil_;
    if (rate_ > 0 && dueByNow(now) <= 0) {
      const double seconds = static_cast<double>(paceSent_) / static_cast<double>(rate_);
      return paceStart_ +
             std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    return now;
  }

 private:
  // Bytes that may go out now: byte k of a paced run is due k/rate seconds
  // after the run started (a run restarts after each pause).
  long long dueByNow(Clock::time_point now) const {
    const double elapsed = std::chrono::duration<double>(now - paceStart_).count();
    return static_cast<long long>(elapsed * static_cast<double>(rate_)) + 1 - paceSent_;
  }

  // Moves past finished steps and pauses that are over.
  void settle(Clock::time_point now) {
    while (!done()) {
      const ReportStep& step = report_[step_];
      if (offset_ < step.bytes.size()) return;
      if (step.pause > milliseconds(0)) {
        if (!pausing_) {
          pausing_ = true;
          pauseUntil_ = now + step.pause;
        }
        if (now < pauseUntil_) return;
        pausing_ = false;
        start(now);
      }
      offset_ = 0;
      if (++step_ == report_.size()) {
        step_ = 0;
        --playsLeft_;
      }
    }
  }

  const Report& report_;
  long playsLeft_;
  long rate_;
  size_t step_ = 0;
  size_t offset_ = 0;
  bool pausing_ = false;
  Clock::time_point pauseUntil_{};
  Clock::time_point paceStart_{};
  long long paceSent_ = 0;
};

// The simulated board (sim_board.h): powered on by start(), answering what
// it receives.
class BoardPlayer final : public Output {
 public:
  bool done() const override { return board_.atLogin() && pending_.empty(); }

  void start(Clock::time_point now) override { board_.powerOn(now); }

  Outcome writeDue(int fd, Clock::time_point now) override {
    board_.printDue(now, &pending_);
    while (!pending_.empty()) {
      const ssize_t n = ::write(fd, pending_.data(), pending_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::Blocked : Outcome::Failed;
      }
      pending_.erase(0, static_cast<size_t>(n));
    }
    return Outcome::Waiting;
  }

  Clock::time_point wakeAt(Clock::time_point now) const override {
    return pending_.empty() ? std::max(now, board_.wakeAt()) : now;
  }

  void received(const char* data, size_t size, Clock::time_point now) override {
    board_.received(std::string_view(data, size), now);
  }

 private:
  SimBoard board_;
  std::string pending_;  // printed by the board, not yet taken by the line
};

bool readFile(const std::string& path, std::string* out, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read report " + path + ": " + std::strerror(errno);
    return false;
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      *error = "cannot read report " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
  }
  ::close(fd);
  return true;
}

bool loadReport(const SimOptions& options, Report* report, std::string* error) {
  std::string text;
  std::string origin;
  switch (options.source) {
    case SimOptions::Source::Sample:
      *report = sampleReport();
      return true;
    case SimOptions::Source::Board:
      return true;
    case SimOptions::Source::Text:
      text = options.reportText;
      origin = "--text";
      break;
    case SimOptions::Source::File:
      if (!readFile(options.reportPath, &text, error)) return false;
      origin = "report " + options.reportPath;
      break;
  }
  if (options.raw) {
    *report = literalReport(std::move(text));
    return true;
  }
  std::string why;
  std::optional<Report> parsed = parseReportText(text, &why);
  if (!parsed) {
    *error = origin + ": " + why;
    return false;
  }
  *report = std::move(*parsed);
  return true;
}

int pollTimeoutMs(Clock::time_point now, Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return -1;
  if (deadline <= now) return 0;
  // Rounded up, so we never wake a moment early and spin.
  const auto ms = std::chrono::ceil<milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<long long>(ms, 60'000));
}

enum class Phase { WaitRx, Delay, Play, Drain, Hold };

int run(const SimOptions& options, Clock::time_point started) {
  Report report;
  std::string error;
  if (!loadReport(options, &report, &error)) {
    complain(error);
    return 2;
  }
  Recorder recorder;
  if (!recorder.open(options, &error)) {
    complain(error);
    return 2;
  }
  if (!installStopSignals()) {
    complain(std::string("cannot set up signals: ") + std::strerror(errno));
    return 1;
  }
  Pty pty;
  if (!pty.open(&error)) {
    complain(error);
    return 1;
  }
  const bool board = options.source == SimOptions::Source::Board;
  // The board powers on when the line is emptied, as an opening sercap does:
  // packet mode tells of the emptying.
  int packetMode = 1;
  if (board && ::ioctl(pty.master, TIOCPKT, &packetMode) != 0) {
    complain(std::string("cannot watch the line: ") + std::strerror(errno));
    return 1;
  }
  PortLink link;
  if (!options.linkName.empty()) {
    const std::string dir = portMapDir(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    if (dir.empty()) {
      complain("--link needs XDG_CONFIG_HOME or HOME to find the port map");
      return 2;
    }
    if (!link.create(dir, options.linkName, pty.path, &error)) {
      complain(error);
      return 1;
    }
  }
  std::printf("%s\n", pty.path.c_str());
  std::fflush(stdout);

  const auto hold = started + std::chrono::seconds(options.holdSeconds);
  const auto lifetimeEnd = options.lifetimeSeconds > 0
                               ? started + std::chrono::seconds(options.lifetimeSeconds)
                               : Clock::time_point::max();
  Player reportPlayer(report, options.repeat, options.rate);
  BoardPlayer boardPlayer;
  Output& player = board ? static_cast<Output&>(boardPlayer) : reportPlayer;
  Phase phase = options.waitRx || board ? Phase::WaitRx : Phase::Delay;
  Clock::time_point playFrom = started + milliseconds(options.delayMs);
  Clock::time_point drainFrom{};
  // Set when the line reported a hang-up: the master is left out of poll for a
  // while, as it would report the hang-up again at once.
  Clock::time_point masterQuietUntil{};
  bool gotFirstByte = false;

  for (;;) {
    if (gStop) return 0;
    const auto now = Clock::now();
    if (now >= lifetimeEnd) {
      if (player.done()) return 0;
      complain("lifetime over before the report was played");
      return 1;
    }

    bool wantWrite = false;
    if (phase == Phase::WaitRx && gotFirstByte) phase = Phase::Delay;
    if (phase == Phase::Delay && now >= playFrom) {
      phase = Phase::Play;
      player.start(now);
    }
    if (phase == Phase::Play) {
      const Output::Outcome outcome = player.writeDue(pty.master, now);
      if (outcome == Output::Outcome::Failed) {
        complain(std::string("cannot write to the line: ") + std::strerror(errno));
        return 1;
      }
      wantWrite = outcome == Output::Outcome::Blocked;
      if (player.done()) phase = Phase::Hold;
    }
    if (phase == Phase::Hold && (options.hangupAfterPlay || now >= hold)) {
      phase = Phase::Drain;
      drainFrom = now;
    }
    // Hanging up discards what the reader has not taken yet, so give it the
    // chance to read the report first. The short grace covers bytes still on
    // their way into the queue, the long one a reader that never comes.
    if (phase == Phase::Drain && ((pty.unread() == 0 && now >= drainFrom + milliseconds(100)) ||
                                  now >= drainFrom + milliseconds(3000))) {
      return 0;
    }

    Clock::time_point deadline = lifetimeEnd;
    switch (phase) {
      case Phase::WaitRx:
        break;
      case Phase::Delay:
        deadline = std::min(deadline, playFrom);
        break;
      case Phase::Play:
        if (!wantWrite) deadline = std::min(deadline, player.wakeAt(now));
        break;
      case Phase::Drain:
        deadline = std::min(deadline, now + milliseconds(20));
        break;
      case Phase::Hold:
        deadline = std::min(deadline, hold);
        break;
    }
    const bool masterQuiet = now < masterQuietUntil;
    if (masterQuiet) deadline = std::min(deadline, masterQuietUntil);

    pollfd fds[2] = {{gWakePipe[0], POLLIN, 0}, {pty.master, POLLIN, 0}};
    if (wantWrite) fds[1].events |= POLLOUT;
    if (masterQuiet) fds[1].fd = -1;
    if (::poll(fds, 2, pollTimeoutMs(now, deadline)) < 0) {
      if (errno == EINTR) continue;
      complain(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (fds[0].revents != 0) {
      char drain[16];
      while (::read(gWakePipe[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents == 0) continue;

    bool hungUp = (fds[1].revents & (POLLHUP | POLLERR)) != 0 && !(fds[1].revents & POLLIN);
    if (fds[1].revents & (POLLIN | POLLPRI)) {
      char buf[4096];
      for (;;) {
        const ssize_t n = ::read(pty.master, buf, sizeof buf);
        if (n > 0) {
          const auto at = Clock::now();
          const char* data = buf;
          size_t size = static_cast<size_t>(n);
          if (board) {
            // In packet mode each read begins with a byte that says what it is.
            const bool isData = buf[0] == TIOCPKT_DATA;
            const bool emptied = (buf[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0;
            ++data;
            --size;
            if (!isData) {
              if (emptied && phase == Phase::WaitRx) {
                playFrom = at + milliseconds(options.delayMs);
                gotFirstByte = true;
              }
              continue;
            }
          }
          if (size == 0) continue;
          if (!gotFirstByte && phase == Phase::WaitRx)
            playFrom = at + milliseconds(options.delayMs);
          else if (phase == Phase::Play || phase == Phase::Hold)
            player.received(data, size, at);
          gotFirstByte = true;
          recorder.add(data, size, std::chrono::duration_cast<milliseconds>(at - started).count());
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // EIO: no slave end open at the moment. Not an error for a device.
        if (n == 0 || errno == EIO) hungUp = true;
        break;
      }
    }
    if (hungUp) masterQuietUntil = Clock::now() + milliseconds(100);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto started = Clock::now();
  SimOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  switch (parseSimOptions(args, &options, &error)) {
    case SimCommand::Help:
      std::fputs(simUsage(), stdout);
      return 0;
    case SimCommand::Error:
      complain(error + " (see --help)");
      return 2;
    case SimCommand::Run:
      break;
  }
  return run(options, started);
}
