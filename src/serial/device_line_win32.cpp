// DeviceLine on Windows. The port is always opened for asynchronous I/O, so
// that a pending read can be cancelled when the run ends.
//
// Reading works as on POSIX: the line keeps its own input queue and notices
// line feeds itself as bytes are taken in. Overlapped ReadFiles feed the
// queue: one of the bytes the driver holds, or, when it holds none, one that
// waits for the next byte; the worker waits on that read and on the stop
// event. This depends neither on the driver's event-character wait nor on
// how it treats read time-outs, both of which drivers (and Wine) differ in.
//
// A real driver's failures end the line: a read, a wait or a ClearCommError
// that fails (an unplugged adapter), also one noticed while idle, since some
// drivers never complete the pending read of a vanished device; a
// cancellation the driver makes by itself is read past while the port still
// answers. A driver that answers no ClearCommError from the open on (some
// virtual ports) is read by its reads alone: one byte at a time, without
// line error counts, and a failed read ends the line. The communications
// calls go through a table (comm_functions_win32.h), so that unit tests can
// play such drivers.
//
// The port is associated with an I/O completion port. Its requests then
// belong to the handle, not to the thread that issued them: Windows neither
// cancels them when that thread ends nor holds the thread's end until a
// driver that ignores cancellation completes them (up to five minutes). So
// the worker that issued a read can end and be joined at once, and close()
// bounds its own wait. Nothing is taken from the completion port but the
// packets, which are dropped; the requests' events tell their completion.
//
// Transmissions: every transmit() is one overlapped WriteFile of its own text,
// kept alive until it completes; the driver sends them in order and whole.
//
// Sharing: the queue and the read request belong to the worker thread (wait,
// collect, take, check). The transmissions belong to the supervisor
// (transmit, unsent, awaitSent) and are kept under a mutex. stopWaiting() only sets the
// stop event and cancels the read. The handle and events change only in
// open() and close(), when no worker runs.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/comm_functions_win32.h"
#include "serial/device_line.h"
#include "serial/input_queue.h"
#include "serial/line_dcb_win32.h"
#include "serial/line_errors_win32.h"

namespace {

// Asked of the driver beside its input queue (line_dcb_win32.h).
constexpr DWORD kDriverOutputQueue = 1024;
// One read takes at most this much from the driver.
constexpr DWORD kReadChunk = 16384;
// A read completes once this long passes without a further byte.
constexpr DWORD kReadPauseMillis = 20;
// How long to wait before a read that ended at once without bytes is tried again.
constexpr DWORD kRetryMillis = 10;
// How long close() waits, in all, for cancelled requests to finish.
constexpr DWORD kCancelWaitMillis = 2000;
// How long the worker's wait lasts before it asks whether the port is still
// there: some drivers never complete the pending read of a vanished device.
constexpr DWORD kIdleCheckMillis = 1000;

DWORD lastError() {
  return GetLastError();
}

int errorNumber(DWORD err) {
  return static_cast<int>(err);
}

HANDLE newEvent() {
  // Manual reset: ReadFile and WriteFile reset it when the request starts, and
  // it stays set once the request has completed, whoever looks first.
  return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void closeEvent(HANDLE* event) {
  if (*event != nullptr) CloseHandle(*event);
  *event = nullptr;
}

// The read request and its buffer, which the driver fills while it is
// pending. A request that will not finish is abandoned rather than freed.
struct ReadRequest {
  OVERLAPPED overlapped;
  uint8_t buffer[kReadChunk];
};

// One transmission in flight: its text stays here until the write completes.
struct Transmission {
  std::string text;
  OVERLAPPED overlapped;
};

// Waits until `deadline` (GetTickCount64) at most for a request to finish.
// True once it has.
bool awaitRequest(const CommFunctions& comm, HANDLE h, OVERLAPPED* overlapped, ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  const DWORD millis = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
  if (overlapped->hEvent != nullptr) WaitForSingleObject(overlapped->hEvent, millis);
  DWORD count = 0;
  return comm.getOverlappedResult(h, overlapped, &count, FALSE) ||
         lastError() != ERROR_IO_INCOMPLETE;
}

}  // namespace

struct DeviceLine::Impl {
  // Set by open() and close() alone.
  const CommFunctions* comm = &commFunctions();
  HANDLE h = INVALID_HANDLE_VALUE;
  HANDLE stopEvent = nullptr;
  HANDLE completionPort = nullptr;     // none where the system refused one
  ReadRequest* readRequest = nullptr;  // its event is the read request's
  // The driver answered no ClearCommError at the open: no queue count, no
  // error flags, no check; a read's failure is the line's.
  bool readsAlone = false;
  int readsAloneError = 0;
  // The DTR request that keeps DTR as sercap last set it (SETDTR, CLRDTR),
  // or 0 while DTR is in handshake mode, the driver's.
  DWORD dtrRequest = 0;

  std::atomic<bool> stopRequested{false};

  // The worker's alone.
  InputQueue queue;
  int lineError = 0;  // the line failed; reported after a pending line feed
  bool readPending = false;
  // The error flags every ClearCommError reported since open(), counted.
  mutable LineErrors errorsSeen;

  // Drops the packets the completion port holds; only the events are used.
  void dropCompletionPackets() const {
    if (completionPort == nullptr) return;
    OVERLAPPED_ENTRY entries[16];
    ULONG taken = 0;
    while (GetQueuedCompletionStatusEx(completionPort, entries, 16, &taken, 0, FALSE) &&
           taken == 16) {
    }
  }

  // Asks the driver for its error flags and queue; counts the flags.
  bool clearErrors(COMSTAT* comStat) const {
    DWORD errors = 0;
    if (!comm->clearCommError(h, &errors, comStat)) return false;
    countCommErrors(errors, errorsSeen);
    return true;
  }

  // The supervisor's, under outMutex: transmissions in flight, oldest first,
  // and events ready for the next ones.
  std::mutex outMutex;
  std::deque<std::unique_ptr<Transmission>> inFlight;
  std::vector<HANDLE> spareEvents;
  std::atomic<size_t> outLeft{0};

  bool isOpen() const { return h != INVALID_HANDLE_VALUE; }

  // Moves `n` bytes of a completed read into the queue, which has room for
  // them: a read never asks for more than the queue can take.
  void absorb(DWORD n) { queue.append(readRequest->buffer, n); }

  // Whether the port still answers ClearCommError (filling `comStat` when
  // given); if not, the line has failed: the adapter is gone.
  bool portAnswers(COMSTAT* comStat = nullptr) {
    COMSTAT ignored;
    if (comStat == nullptr) comStat = &ignored;
    if (readsAlone) {
      // Nothing to ask: the next read tells.
      std::memset(comStat, 0, sizeof *comStat);
      return true;
    }
    if (clearErrors(comStat)) return true;
    if (lineError == 0) lineError = errorNumber(lastError());
    return false;
  }

  // The line failed, unless the failure is a read time-out (Wine reports one
  // as a failure; it only means "no more bytes") or a cancellation: ours, or
  // one the driver made by itself while the port still answers (seen where
  // the system gave no completion port, when the thread that issued the read
  // ends), after which the read is issued again. A port read by its reads
  // alone cannot be asked: there a cancellation is a failure too.
  void noteReadFailure(DWORD err) {
    if (err == ERROR_TIMEOUT) return;
    if (err == ERROR_OPERATION_ABORTED && stopRequested.load()) return;
    if (err == ERROR_OPERATION_ABORTED && !readsAlone && portAnswers()) return;
    if (lineError == 0) lineError = errorNumber(err);
  }

  // Takes in the pending read if it has completed. True if it has.
  bool collectRead() {
    if (!readPending) return true;
    DWORD n = 0;
    if (comm->getOverlappedResult(h, &readRequest->overlapped, &n, FALSE)) {
      readPending = false;
      absorb(n);
      return true;
    }
    DWORD err = lastError();
    if (err == ERROR_IO_INCOMPLETE) return false;
    readPending = false;
    // A read that timed out still delivered what it had read.
    if (err == ERROR_TIMEOUT) absorb(n);
    noteReadFailure(err);
    return true;
  }

  // Starts a read: of what the driver holds when it holds something, else of
  // the next byte to arrive. Either completes as soon as the bytes are
  // there, whatever the driver makes of read time-outs. Never asks for more
  // than the queue has room for. Returns the bytes it delivered at once;
  // readPending says whether it is still going on. A port that no longer
  // answers ClearCommError has failed (an unplugged adapter).
  DWORD startRead() {
    COMSTAT comStat;
    if (!portAnswers(&comStat)) return 0;
    size_t wanted = comStat.cbInQue > 0 ? comStat.cbInQue : 1;
    const size_t room = InputQueue::kCapacity - queue.size();
    if (wanted > room) wanted = room;
    if (wanted > kReadChunk) wanted = kReadChunk;
    OVERLAPPED& o = readRequest->overlapped;
    HANDLE event = o.hEvent;
    std::memset(&o, 0, sizeof o);
    o.hEvent = event;
    // An overlapped read takes no count: it comes from the request, also
    // when the read completes at once.
    if (comm->readFile(h, readRequest->buffer, static_cast<DWORD>(wanted), nullptr, &o)) {
      DWORD n = 0;
      if (!comm->getOverlappedResult(h, &o, &n, FALSE)) {
        noteReadFailure(lastError());
        return 0;
      }
      absorb(n);
      return n;
    }
    DWORD err = lastError();
    if (err == ERROR_IO_PENDING) {
      readPending = true;
    } else {
      noteReadFailure(err);
    }
    return 0;
  }

  // Takes in whatever the driver has delivered, until it has nothing more,
  // the queue is full or the line failed, and leaves a read pending when
  // there is room.
  void takeIn() {
    dropCompletionPackets();
    for (;;) {
      if (!collectRead()) return;
      if (lineError != 0 || queue.full() || stopRequested.load()) return;
      if (startRead() == 0) return;
    }
  }

  // Drops the transmissions that have completed, oldest first. Under outMutex.
  void reapTransmissions() {
    dropCompletionPackets();
    size_t left = 0;
    for (auto it = inFlight.begin(); it != inFlight.end();) {
      Transmission& t = **it;
      if (HasOverlappedIoCompleted(&t.overlapped)) {
        DWORD n = 0;
        comm->getOverlappedResult(h, &t.overlapped, &n, FALSE);
        spareEvents.push_back(t.overlapped.hEvent);
        it = inFlight.erase(it);
      } else {
        left += t.text.size();
        ++it;
      }
    }
    outLeft.store(left);
  }

  // The handshake limits for the driver's input queue: from the size it
  // reports, else the ones it keeps itself.
  HandshakeLimits driverHandshakeLimits() const {
    COMMPROP prop;
    std::memset(&prop, 0, sizeof prop);
    prop.wPacketLength = sizeof prop;
    if (comm->getCommProperties(h, &prop) && prop.dwCurrentRxQueue > 0) {
      return handshakeLimitsFor(prop.dwCurrentRxQueue);
    }
    DCB current;
    std::memset(&current, 0, sizeof current);
    current.DCBlength = sizeof current;
    if (comm->getCommState(h, &current)) return {current.XonLim, current.XoffLim};
    return {};
  }

  // The steps of configure() beyond the line settings, in this order.
  // Each returns 0 or an error number.
  int setReadTimeouts();
  int armLineEvent();
  int createWriteRequest();
  int createReadRequest();
};

DeviceLine::DeviceLine() : impl_(new Impl) {}

DeviceLine::~DeviceLine() {
  close();
  delete impl_;
}

int DeviceLine::open(const std::string& devicePath) {
  close();
  Impl& m = *impl_;
  m.comm = &commFunctions();
  HANDLE h = m.comm->createFile(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return errorNumber(lastError());
  HANDLE stop = newEvent();
  if (stop == nullptr) {
    int err = errorNumber(lastError());
    m.comm->closeHandle(h);
    return err;
  }
  // A request for the driver's queue sizes. A driver may keep smaller ones,
  // refusing the request (a failed allocation) or not (a virtual port):
  // either way configure() takes the handshake limits from the size it
  // reports then, never from this one.
  (void)m.comm->setupComm(h, kDriverInputQueue, kDriverOutputQueue);
  m.completionPort = m.comm->createIoCompletionPort(h, nullptr, 0, 1);
  m.h = h;
  m.stopEvent = stop;
  m.readRequest = new ReadRequest();
  m.stopRequested.store(false);
  m.queue.clear();
  m.lineError = 0;
  m.readPending = false;
  // Errors from before the open are not this run's. A driver that cannot
  // say even now never will: its port is read by reads alone.
  COMSTAT comStat;
  m.readsAlone = !m.clearErrors(&comStat);
  m.readsAloneError = m.readsAlone ? errorNumber(lastError()) : 0;
  m.errorsSeen = LineErrors{};
  return 0;
}

bool DeviceLine::isOpen() const {
  return impl_->isOpen();
}

int DeviceLine::purge() {
  Impl& m = *impl_;
  if (!m.isOpen()) return ERROR_INVALID_HANDLE;
  m.queue.clear();
  const DWORD all = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  return m.comm->purgeComm(m.h, all) ? 0 : errorNumber(lastError());
}

int DeviceLine::Impl::setReadTimeouts() {
  if (!isOpen()) return ERROR_INVALID_HANDLE;
  COMMTIMEOUTS timeouts;
  if (!comm->getCommTimeouts(h, &timeouts)) return errorNumber(lastError());
  // A read waits for its first byte as long as it takes and completes when a
  // pause follows the bytes; reads ask only for bytes that are there or for
  // a single one, so they complete at once in any case. Writes never time
  // out: a transmission is never cut.
  timeouts.ReadIntervalTimeout = kReadPauseMillis;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 0;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 0;
  return comm->setCommTimeouts(h, &timeouts) ? 0 : errorNumber(lastError());
}

int DeviceLine::Impl::armLineEvent() {
  if (!isOpen()) return ERROR_INVALID_HANDLE;
  // The line feed as the event character, as the settings say. Nothing waits
  // on the event (the wake-up comes from the line's own queue), so a driver
  // that refuses the mask fails nothing.
  comm->setCommMask(h, EV_RXFLAG);
  return 0;
}

int DeviceLine::Impl::createWriteRequest() {
  HANDLE event = newEvent();
  if (event == nullptr) return errorNumber(lastError());
  std::lock_guard<std::mutex> lock(outMutex);
  spareEvents.push_back(event);
  return 0;
}

int DeviceLine::Impl::createReadRequest() {
  if (readRequest == nullptr) return ERROR_INVALID_HANDLE;
  HANDLE event = newEvent();
  if (event == nullptr) return errorNumber(lastError());
  readRequest->overlapped.hEvent = event;
  return 0;
}

LineFault DeviceLine::configure(const LineSettings& settings) {
  Impl& m = *impl_;
  if (!m.isOpen()) return {LineStep::kSettings, ERROR_INVALID_HANDLE};
  m.queue.readByArrival(settings.readByArrival);
  DCB dcb = lineControlBlock(settings, m.driverHandshakeLimits());
  if (!m.comm->setCommState(m.h, &dcb)) return {LineStep::kSettings, errorNumber(lastError())};
  m.dtrRequest = dcb.fDtrControl == DTR_CONTROL_DISABLE  ? CLRDTR
                 : dcb.fDtrControl == DTR_CONTROL_ENABLE ? SETDTR
                                                         : 0;
  // The requests are made with and without -nov: the line always reads and
  // writes asynchronously, -nov only decides whether transmissions wait.
  if (int err = m.setReadTimeouts()) return {LineStep::kTimeouts, err};
  if (int err = m.armLineEvent()) return {LineStep::kEventMask, err};
  if (int err = m.createWriteRequest()) return {LineStep::kWriteRequest, err};
  if (int err = m.createReadRequest()) return {LineStep::kReadRequest, err};
  return {};
}

int DeviceLine::awaitLine() {
  Impl& m = *impl_;
  for (;;) {
    const bool stop = m.stopRequested.load(std::memory_order_acquire);
    const bool open = m.isOpen() && m.readRequest->overlapped.hEvent != nullptr;
    if (auto answer =
            answerWithoutWaiting(stop, open, ERROR_INVALID_HANDLE, m.queue, m.lineError)) {
      return *answer;
    }

    m.takeIn();
    if (m.queue.lineEventPending() || m.lineError != 0) continue;
    if (!m.readPending) {
      // A read that ended at once without bytes (timed out): try again soon,
      // without spinning.
      WaitForSingleObject(m.stopEvent, kRetryMillis);
      continue;
    }

    HANDLE waits[2] = {m.stopEvent, m.readRequest->overlapped.hEvent};
    DWORD woken = WaitForMultipleObjects(2, waits, FALSE, kIdleCheckMillis);
    if (woken == WAIT_FAILED) return errorNumber(lastError());
    if (woken == WAIT_TIMEOUT) m.portAnswers();
  }
}

int DeviceLine::collect(size_t* queued) {
  Impl& m = *impl_;
  if (!m.isOpen()) {
    *queued = m.queue.size();
    return ERROR_INVALID_HANDLE;
  }
  // A failure seen here waits for the next wait, behind any pending line.
  m.takeIn();
  *queued = m.queue.size();
  return 0;
}

size_t DeviceLine::take(uint8_t* buffer, size_t max) {
  return impl_->queue.take(buffer, max);
}

int DeviceLine::check() const {
  const Impl& m = *impl_;
  if (!m.isOpen()) return ERROR_INVALID_HANDLE;
  if (m.readsAlone) return 0;
  COMSTAT comStat;
  return m.clearErrors(&comStat) ? 0 : errorNumber(lastError());
}

std::optional<LineErrors> DeviceLine::lineErrors() {
  if (!impl_->isOpen() || impl_->readsAlone) return std::nullopt;
  return impl_->errorsSeen;
}

std::string DeviceLine::readingNote() const {
  const Impl& m = *impl_;
  if (!m.isOpen() || !m.readsAlone) return {};
  return "answers no ClearCommError (error " + std::to_string(m.readsAloneError) +
         "): read by its reads alone, one byte at a time, without line error counts; "
         "a failed read ends the run";
}

void DeviceLine::queueTransmission(const char* text, size_t length) {
  Impl& m = *impl_;
  if (!m.isOpen() || length == 0) return;
  std::lock_guard<std::mutex> lock(m.outMutex);
  m.reapTransmissions();
  HANDLE event = nullptr;
  if (!m.spareEvents.empty()) {
    event = m.spareEvents.back();
    m.spareEvents.pop_back();
  } else {
    event = newEvent();
  }
  auto t = std::make_unique<Transmission>();
  t->text.assign(text, length);
  std::memset(&t->overlapped, 0, sizeof t->overlapped);
  t->overlapped.hEvent = event;
  if (m.comm->writeFile(m.h, t->text.data(), static_cast<DWORD>(t->text.size()), nullptr,
                        &t->overlapped) ||
      lastError() == ERROR_IO_PENDING) {
    m.inFlight.push_back(std::move(t));
  } else if (event != nullptr) {
    // The line failed: the text cannot go out; the result is not reported.
    m.spareEvents.push_back(event);
  }
  m.reapTransmissions();
}

size_t DeviceLine::unsent() const {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> lock(m.outMutex);
  m.reapTransmissions();
  return m.outLeft.load();
}

size_t DeviceLine::awaitSent(std::chrono::milliseconds limit) {
  Impl& m = *impl_;
  HANDLE oldest = nullptr;
  {
    std::lock_guard<std::mutex> lock(m.outMutex);
    m.reapTransmissions();
    if (m.inFlight.empty()) return 0;
    oldest = m.inFlight.front()->overlapped.hEvent;
  }
  const DWORD millis = limit.count() <= 0 ? 0 : static_cast<DWORD>(limit.count());
  if (oldest != nullptr) {
    WaitForSingleObject(oldest, millis);
  } else {
    Sleep(millis);
  }
  std::lock_guard<std::mutex> lock(m.outMutex);
  m.reapTransmissions();
  return m.outLeft.load();
}

// A signal's value is its escape code.
static_assert(static_cast<DWORD>(LineSignal::kSetXoff) == SETXOFF &&
              static_cast<DWORD>(LineSignal::kSetXon) == SETXON &&
              static_cast<DWORD>(LineSignal::kSetRts) == SETRTS &&
              static_cast<DWORD>(LineSignal::kClrRts) == CLRRTS &&
              static_cast<DWORD>(LineSignal::kSetDtr) == SETDTR &&
              static_cast<DWORD>(LineSignal::kClrDtr) == CLRDTR &&
              static_cast<DWORD>(LineSignal::kResetDevice) == RESETDEV &&
              static_cast<DWORD>(LineSignal::kSetBreak) == SETBREAK &&
              static_cast<DWORD>(LineSignal::kClrBreak) == CLRBREAK);

int DeviceLine::applySignal(LineSignal signal) {
  Impl& m = *impl_;
  if (!m.isOpen()) return ERROR_INVALID_HANDLE;
  const DWORD request = static_cast<DWORD>(signal);
  if (!m.comm->escapeCommFunction(m.h, request)) return errorNumber(lastError());
  if (request == SETDTR || request == CLRDTR) m.dtrRequest = request;
  // Windows' own CDC driver sends the line state to the device only on a
  // DTR request: without one, a board's reset or boot pin on RTS would
  // never move. DTR stays as it was.
  if ((request == SETRTS || request == CLRRTS) && m.dtrRequest != 0) {
    m.comm->escapeCommFunction(m.h, m.dtrRequest);
  }
  return 0;
}

void DeviceLine::stopWaiting() {
  Impl& m = *impl_;
  m.stopRequested.store(true, std::memory_order_release);
  if (m.stopEvent != nullptr) SetEvent(m.stopEvent);
  if (m.isOpen()) m.comm->cancelIoEx(m.h, &m.readRequest->overlapped);
}

void DeviceLine::close() {
  Impl& m = *impl_;
  if (m.isOpen()) {
    m.comm->cancelIoEx(m.h, nullptr);
    // Buffers a driver may still write into are abandoned, never freed. The
    // wait is bounded in all, however many requests are in flight.
    const ULONGLONG deadline = GetTickCount64() + kCancelWaitMillis;
    if (m.readPending && !awaitRequest(*m.comm, m.h, &m.readRequest->overlapped, deadline)) {
      m.readRequest = nullptr;
    }
    std::lock_guard<std::mutex> lock(m.outMutex);
    for (auto& t : m.inFlight) {
      if (awaitRequest(*m.comm, m.h, &t->overlapped, deadline)) {
        closeEvent(&t->overlapped.hEvent);
      } else {
        t.release();
      }
    }
    m.inFlight.clear();
    m.outLeft.store(0);
    m.comm->closeHandle(m.h);
    m.h = INVALID_HANDLE_VALUE;
  }
  // The port's file keeps the completion port alive for a request abandoned
  // above; this handle is only the line's.
  if (m.completionPort != nullptr) CloseHandle(m.completionPort);
  m.completionPort = nullptr;
  {
    std::lock_guard<std::mutex> lock(m.outMutex);
    for (HANDLE& event : m.spareEvents) closeEvent(&event);
    m.spareEvents.clear();
  }
  if (m.readRequest != nullptr) {
    closeEvent(&m.readRequest->overlapped.hEvent);
    delete m.readRequest;
    m.readRequest = nullptr;
  }
  closeEvent(&m.stopEvent);
  m.readPending = false;
  m.queue.clear();
  m.lineError = 0;
  m.readsAlone = false;
  m.readsAloneError = 0;
  m.dtrRequest = 0;
}

// Closing cancels whatever is in flight at once: nothing to hurry.
void DeviceLine::closeSoon() {
  close();
}

// The worker hands its file over after every read here.
bool DeviceLine::lineWaiting() const {
  return false;
}
