// DeviceLine on Linux (termios2 for exact rates). A tty has no event character, so the line keeps
// its own input queue and notices line feeds itself as bytes are taken in from the device. The fd
// stays non-blocking; the only blocking calls are the poll()s in awaitLine(), which also watches a
// pipe that stopWaiting() and transmit() poke, and in awaitSent().
//
// Sharing: the queue and its flags belong to the worker thread (wait, count,
// read). Text to send is queued under a mutex by the supervisor and sent by
// whichever thread finds the line ready for it: the supervisor at once and in
// awaitSent(), the worker while it waits. The fds themselves change only in
// open() and close(), when no worker runs.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "serial/device_line.h"
#include "serial/input_queue.h"
#include "serial/line_errors_linux.h"
#include "serial/line_termios2_linux.h"
#include "serial/output_drain_linux.h"
#include "serial/pending_output.h"
#include "serial/port_checks_linux.h"

namespace {

// Marks the end of a take-in where read() gave 0: with VMIN 0 that is "nothing
// now" on a live line and end-of-file on one that was hung up.
constexpr int kReadGaveNothing = -1;

void closeFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

// Modem-line requests that fail this way mean the line has no modem lines (a
// pseudo-terminal, some adapters): there is nothing to set.
bool noModemLines(int err) {
  return err == ENOTTY || err == EINVAL;
}

int modemLines(int fd, unsigned long request, int lines) {
  return ioctl(fd, request, &lines) == 0 ? 0 : errno;
}

}  // namespace

struct DeviceLine::Impl {
  // The line's settings as open() found them; close() puts them back.
  serial_detail::SavedLine found{};
  // How long close() lets waiting output go out in all; closeSoon() shortens it.
  std::chrono::milliseconds drainLimit = serial_detail::kDrainLimit;

  // Set by open() and close() alone; both threads only use them.
  int fd = -1;
  int wakeRead = -1;   // watched by the worker's poll()
  int wakeWrite = -1;  // written by stopWaiting() and transmit()

  // Raised by the supervisor, read by the worker.
  std::atomic<bool> stopRequested{false};

  // The worker's alone.
  InputQueue queue;
  int lineError = 0;  // the line failed; reported after a pending line feed

  // The driver's error counters as open() found them, where it keeps any.
  serial_icounter_struct totalsAtOpen{};
  bool keepsTotals = false;

  // Text to send, by both threads.
  PendingOutput out;

  // Sends what the line takes now. Returns the bytes still waiting.
  size_t sendSome() {
    return out.sendSome([this](const uint8_t* data, size_t length) -> long {
      for (;;) {
        const ssize_t n = ::write(fd, data, length);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return -1;  // the line failed
      }
    });
  }

  void poke() {
    const uint8_t one = 1;
    // A full pipe already holds a wake-up; nothing else can go wrong worth a word.
    while (::write(wakeWrite, &one, 1) < 0 && errno == EINTR) {
    }
  }

  void drainWakePipe() {
    uint8_t sink[64];
    while (::read(wakeRead, sink, sizeof sink) > 0) {
    }
  }

  // Reads what the device holds into the queue until it has nothing more or
  // the queue is full. Returns the bytes taken in; *end is 0, kReadGaveNothing,
  // or the error number of a failed read.
  size_t takeIn(int* end) {
    size_t taken = 0;
    *end = 0;
    while (!queue.full()) {
      size_t asked;
      uint8_t* room = queue.room(&asked);
      ssize_t n = ::read(fd, room, asked);
      if (n > 0) {
        queue.commit(static_cast<size_t>(n));
        taken += static_cast<size_t>(n);
        // Less than asked: the driver had no more. Asking again would only
        // cost a read that finds nothing; the next poll() tells when more came.
        if (static_cast<size_t>(n) < asked) break;
        continue;
      }
      if (n == 0) {
        *end = kReadGaveNothing;
      } else if (errno == EINTR) {
        continue;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        *end = errno;
      }
      break;
    }
    return taken;
  }

  // Records a failure of the line seen while taking in bytes. `revents` is what
  // poll() reported for the fd, or 0 when the caller did not poll.
  void noteTakeIn(size_t taken, int end, short revents) {
    if (end > 0) {
      lineError = end;
      return;
    }
    if (taken != 0) return;
    if (end == kReadGaveNothing && revents == 0) {
      // Nothing now, or end-of-file of a line that was hung up: only poll()
      // tells them apart. Readability alone proves nothing here, as bytes may
      // have arrived since the read.
      struct pollfd p = {fd, POLLIN, 0};
      if (::poll(&p, 1, 0) == 1) revents = p.revents;
    }
    if (revents & POLLNVAL) {
      lineError = EBADF;
    } else if (revents & (POLLHUP | POLLERR)) {
      lineError = EIO;
    }
  }
};

DeviceLine::DeviceLine() : impl_(new Impl) {}

DeviceLine::~DeviceLine() {
  close();
  delete impl_;
}

int DeviceLine::open(const std::string& devicePath) {
  close();
  Impl& m = *impl_;
  int err = serial_detail::checkBeforeOpen(devicePath);
  if (err != 0) return err;
  int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  // Reading the settings also proves the device a terminal (ENOTTY if not).
  err = serial_detail::saveLine(fd, &m.found);
  if (err == 0) err = serial_detail::checkAfterOpen(fd);
  if (err == 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    err = (errno == EWOULDBLOCK) ? EBUSY : errno;
  }
  if (err != 0) {
    ::close(fd);
    return err;
  }
  // TIOCEXCL keeps out later opens by other programs (not by root, and not
  // every driver honours it); the lock covers the rest among cooperating ones.
  // Only once the lock is ours, so that a refused open leaves the holder's
  // line as it was.
  (void)ioctl(fd, TIOCEXCL);
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    err = errno;
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
    return err;
  }
  m.fd = fd;
  m.wakeRead = wake[0];
  m.wakeWrite = wake[1];
  m.stopRequested.store(false);
  m.queue.clear();
  m.lineError = 0;
  m.keepsTotals = readDriverTotals(fd, &m.totalsAtOpen);
  return 0;
}

bool DeviceLine::isOpen() const {
  return impl_->fd >= 0;
}

int DeviceLine::purge() {
  Impl& m = *impl_;
  if (m.fd < 0) return EBADF;
  m.queue.clear();
  return tcflush(m.fd, TCIOFLUSH) == 0 ? 0 : errno;
}

LineFault DeviceLine::configure(const LineSettings& settings) {
  Impl& m = *impl_;
  if (m.fd < 0) return {LineStep::kSettings, EBADF};
  m.queue.readByArrival(settings.readByArrival);
  serial_detail::RawLineMode mode;
  mode.rate = settings.baudRate;
  mode.parity = settings.parity;
  mode.stopBits = settings.stopBits;
  mode.hardwareHandshake = settings.modemLines == ModemLines::kHandshake;
  int err = serial_detail::setRawLine(m.fd, mode);
  // Some drivers answer a rate they cannot make with success and keep their
  // old one: only the rate read back tells.
  if (err == 0) err = serial_detail::confirmLineRate(m.fd, mode.rate);
  if (err != 0) return {LineStep::kSettings, err};

  switch (settings.modemLines) {
    case ModemLines::kLow:
      err = modemLines(m.fd, TIOCMBIC, TIOCM_DTR | TIOCM_RTS);
      break;
    case ModemLines::kHandshake:
      err = modemLines(m.fd, TIOCMBIS, TIOCM_DTR);  // RTS belongs to the handshake
      break;
    case ModemLines::kHigh:
      err = modemLines(m.fd, TIOCMBIS, TIOCM_DTR | TIOCM_RTS);
      break;
  }
  // A tty has no read time-outs, event mask or I/O requests to set up.
  if (err == 0 || noModemLines(err)) return {};
  return {LineStep::kSettings, err};
}

int DeviceLine::awaitLine() {
  Impl& m = *impl_;
  for (;;) {
    const bool stop = m.stopRequested.load(std::memory_order_acquire);
    if (auto answer = answerWithoutWaiting(stop, m.fd >= 0, EBADF, m.queue, m.lineError)) {
      return *answer;
    }

    const short sending = m.out.unsent() != 0 ? POLLOUT : 0;
    struct pollfd p[2] = {{m.fd, static_cast<short>(POLLIN | sending), 0}, {m.wakeRead, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (m.stopRequested.load(std::memory_order_acquire)) return kWaitStopped;
    // Otherwise a poke from transmit(): look again at what there is to send.
    if (p[1].revents != 0) m.drainWakePipe();
    if (p[0].revents & POLLOUT) m.sendSome();
    if (p[0].revents & ~POLLOUT) {
      int end;
      size_t taken = m.takeIn(&end);
      m.noteTakeIn(taken, end, p[0].revents);
    }
  }
}

int DeviceLine::collect(size_t* queued) {
  Impl& m = *impl_;
  if (m.fd < 0) {
    *queued = m.queue.size();
    return EBADF;
  }
  // A failure seen here waits for the next wait, behind any pending line.
  int end;
  size_t taken = m.takeIn(&end);
  m.noteTakeIn(taken, end, 0);
  *queued = m.queue.size();
  return 0;
}

size_t DeviceLine::take(uint8_t* buffer, size_t max) {
  return impl_->queue.take(buffer, max);
}

bool DeviceLine::lineWaiting() const {
  return impl_->queue.lineEventPending();
}

int DeviceLine::check() const {
  return impl_->fd >= 0 ? 0 : EBADF;
}

void DeviceLine::queueTransmission(const char* text, size_t length) {
  Impl& m = *impl_;
  if (m.fd < 0 || length == 0) return;
  m.out.append(text, length);
  // What the line cannot take now, the worker sends as it takes it.
  if (m.sendSome() != 0) m.poke();
}

size_t DeviceLine::unsent() const {
  return impl_->out.unsent();
}

size_t DeviceLine::awaitSent(std::chrono::milliseconds limit) {
  Impl& m = *impl_;
  if (m.fd < 0 || m.out.unsent() == 0) return m.out.unsent();
  struct pollfd p = {m.fd, POLLOUT, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) > 0) {
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
      m.out.drop();
    } else {
      m.sendSome();
    }
  }
  return m.out.unsent();
}

int DeviceLine::applySignal(LineSignal signal) {
  const int fd = impl_->fd;
  if (fd < 0) return EBADF;
  int r;
  switch (signal) {
    case LineSignal::kSetXoff:
      r = tcflow(fd, TCOOFF);
      break;
    case LineSignal::kSetXon:
      r = tcflow(fd, TCOON);
      break;
    case LineSignal::kSetRts:
      return modemLines(fd, TIOCMBIS, TIOCM_RTS);
    case LineSignal::kClrRts:
      return modemLines(fd, TIOCMBIC, TIOCM_RTS);
    case LineSignal::kSetDtr:
      return modemLines(fd, TIOCMBIS, TIOCM_DTR);
    case LineSignal::kClrDtr:
      return modemLines(fd, TIOCMBIC, TIOCM_DTR);
    case LineSignal::kResetDevice:
      return ENOTSUP;  // a device reset has no POSIX counterpart
    case LineSignal::kSetBreak:
      r = ioctl(fd, TIOCSBRK);
      break;
    case LineSignal::kClrBreak:
      r = ioctl(fd, TIOCCBRK);
      break;
    default:
      return EINVAL;
  }
  return r == 0 ? 0 : errno;
}

// A tty always says how much it holds.
std::string DeviceLine::readingNote() const {
  return {};
}

std::optional<LineErrors> DeviceLine::lineErrors() {
  const Impl& m = *impl_;
  serial_icounter_struct now;
  if (m.fd < 0 || !m.keepsTotals || !readDriverTotals(m.fd, &now)) return std::nullopt;
  return lineErrorsBetween(m.totalsAtOpen, now);
}

void DeviceLine::stopWaiting() {
  Impl& m = *impl_;
  m.stopRequested.store(true, std::memory_order_release);
  if (m.wakeWrite >= 0) m.poke();
}

void DeviceLine::closeSoon() {
  impl_->drainLimit = serial_detail::kHurriedDrainLimit;
  close();
}

void DeviceLine::close() {
  Impl& m = *impl_;
  const auto drainLimit = m.drainLimit;
  m.drainLimit = serial_detail::kDrainLimit;
  if (m.fd >= 0) {
    // Put the line back as it was found, as terminal programs do, so that a
    // port chosen by mistake is not left raw. What is still queued for output
    // goes out first under the settings it was sent with. Output suspended
    // by SETXOFF is resumed first: it would hold the drain, and the next
    // program to write to the line would find it suspended.
    (void)tcflow(m.fd, TCOON);
    serial_detail::drainOutput(m.fd, serial_detail::kDrainStall, drainLimit);
    (void)serial_detail::restoreLine(m.fd, m.found);
    // Leave the tty openable for the next program; the lock goes with the fd.
    (void)ioctl(m.fd, TIOCNXCL);
  }
  closeFd(&m.fd);
  closeFd(&m.wakeRead);
  closeFd(&m.wakeWrite);
  m.out.drop();
  m.queue.clear();
  m.lineError = 0;
}
