// A serial driver played by a test, behind the table of communications
// functions a COM port is driven through: what a real driver does and Wine's
// never does, on cue. One at a time; it installs itself while it lives.
//
// Reads complete at once with what the device has sent, or stay pending
// until it sends more or the test ends them; writes complete at once unless
// told to hang. Events are real ones: a completed request sets its event.
// The input queue starts at 4,096 bytes and grows when asked to; the line
// signals reach the wire at once. A request is bound to the thread that
// issued it, as Windows binds it, unless the port is associated with a
// completion port; a thread that ends with bound requests pending is
// counted (Windows would hold its exit until they complete).
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "serial/comm_functions_win32.h"

class PlayedDriver {
 public:
  PlayedDriver() {
    current() = this;
    useCommFunctions(&kTable);
  }
  ~PlayedDriver() {
    useCommFunctions(nullptr);
    current() = nullptr;
  }
  PlayedDriver(const PlayedDriver&) = delete;
  PlayedDriver& operator=(const PlayedDriver&) = delete;

  // --- the device and the driver, on cue -----------------------------------
  // Bytes from the device: they complete a pending read or wait for one.
  void send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    incoming_ += bytes;
    if (pendingRead_ != nullptr && !incoming_.empty()) completeRead(0);
  }
  // Ends the pending read: with an error, or (0) successfully with no bytes.
  void endPendingRead(DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pendingRead_ != nullptr) completeRead(error);
  }
  // From now on ClearCommError fails with `error`: the adapter is gone.
  void failClearCommError(DWORD error) { unplugAfter(0, error); }
  // ClearCommError answers `answers` more times, then fails with `error`.
  void unplugAfter(int answers, DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    answersLeft_ = answers;
    clearCommErrorFailure_ = error;
  }
  // Line errors the next ClearCommError reports (CE_* flags).
  void reportLineErrors(DWORD flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    lineErrors_ |= flags;
  }
  void refuseEventMasks() { refuseEventMasks_ = true; }
  // Writes from now on never complete, not even when cancelled.
  void hangWrites() { hangWrites_ = true; }
  // Cancelled reads stay pending: a driver that ignores cancellation.
  void ignoreCancellation() { ignoreCancellation_ = true; }
  // The input queue stays at `bytes`: SetupComm cannot grow it, and
  // SetCommState refuses handshake limits beyond it, as the sample driver
  // does once its allocation failed.
  void keepInputQueue(DWORD bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    inputQueue_ = bytes;
    queueFixed_ = true;
  }
  // GetCommProperties tells no queue size (0), as some virtual ports do.
  void reportNoQueueSize() { reportNoQueueSize_ = true; }
  // The limits the driver keeps until a DCB sets others.
  void ownHandshakeLimits(WORD xonLim, WORD xoffLim) {
    std::lock_guard<std::mutex> lock(mutex_);
    dcb_.XonLim = xonLim;
    dcb_.XoffLim = xoffLim;
  }
  // Windows' own CDC driver: it sends the line state to the device only on
  // a DTR request (or new line settings), so an RTS request alone waits
  // for the next one.
  void playCdcSignals() { cdc_ = true; }

  // --- what the line asked of the driver -----------------------------------
  DCB lastLineSettings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dcb_;
  }
  DWORD inputQueueAsked() const { return inputQueueAsked_; }
  // What RTS and DTR are on the wire to the device.
  bool wireRts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wireRts_;
  }
  bool wireDtr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wireDtr_;
  }
  // Requests still pending, bound to their thread, when that thread ended.
  int requestsPendingAtThreadExit() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pendingAtThreadExit_;
  }
  bool readPending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pendingRead_ != nullptr;
  }
  // Everything sent has been read, and the next read waits.
  bool drained() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pendingRead_ != nullptr && incoming_.empty();
  }
  // Whether any ReadFile was given a count pointer, which an overlapped read
  // must not be.
  bool readCountPointerGiven() const { return readCountPointerGiven_; }

 private:
  static PlayedDriver*& current() {
    static PlayedDriver* driver = nullptr;
    return driver;
  }
  static HANDLE port() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5E7C)); }

  // Counts, as the thread ends, the requests it issued that are still pending.
  struct ThreadExitWatch {
    ~ThreadExitWatch() {
      if (PlayedDriver* d = current()) d->threadEnded(GetCurrentThreadId());
    }
  };
  void threadEnded(DWORD thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [request, issuer] : boundTo_) {
      if (issuer == thread) ++pendingAtThreadExit_;
    }
  }
  // Under mutex_: a request issued now is bound to this thread, unless the
  // port has a completion port.
  void issued(OVERLAPPED* o) {
    if (completionPort_) return;
    static thread_local ThreadExitWatch watch;
    (void)watch;
    boundTo_[o] = GetCurrentThreadId();
  }

  // Under mutex_.
  void completeRead(DWORD error) {
    const DWORD n =
        error != 0 ? 0 : static_cast<DWORD>(std::min<size_t>(pendingWanted_, incoming_.size()));
    std::memcpy(pendingBuffer_, incoming_.data(), n);
    incoming_.erase(0, n);
    finish(pendingRead_, n, error);
    pendingRead_ = nullptr;
  }
  void finish(OVERLAPPED* o, DWORD n, DWORD error) {
    boundTo_.erase(o);
    errors_[o] = error;
    o->InternalHigh = n;
    o->Internal = error == 0 ? 0 : 0xC0000001;  // not STATUS_PENDING: done
    if (o->hEvent != nullptr) SetEvent(o->hEvent);
  }
  static void pending(OVERLAPPED* o) {
    o->Internal = STATUS_PENDING;
    if (o->hEvent != nullptr) ResetEvent(o->hEvent);
    SetLastError(ERROR_IO_PENDING);
  }

  static HANDLE WINAPI createFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                  HANDLE) {
    return port();
  }
  static BOOL WINAPI closeHandle(HANDLE) { return TRUE; }
  static BOOL WINAPI setupComm(HANDLE, DWORD in, DWORD) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    d.inputQueueAsked_ = in;
    if (in <= d.inputQueue_) return TRUE;  // a queue never shrinks
    if (d.queueFixed_) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    d.inputQueue_ = in;
    return TRUE;
  }
  static BOOL WINAPI getCommProperties(HANDLE, LPCOMMPROP prop) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    std::memset(prop, 0, sizeof *prop);
    prop->wPacketLength = sizeof *prop;
    prop->dwCurrentRxQueue = d.reportNoQueueSize_ ? 0 : d.inputQueue_;
    prop->dwCurrentTxQueue = d.reportNoQueueSize_ ? 0 : 1024;
    return TRUE;
  }
  static BOOL WINAPI getCommState(HANDLE, LPDCB dcb) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    *dcb = d.dcb_;
    return TRUE;
  }
  static BOOL WINAPI purgeComm(HANDLE, DWORD) { return TRUE; }
  static BOOL WINAPI setCommState(HANDLE, LPDCB dcb) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (dcb->XonLim > d.inputQueue_ || dcb->XoffLim > d.inputQueue_) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    d.dcb_ = *dcb;
    d.rtsAsked_ = dcb->fRtsControl != RTS_CONTROL_DISABLE;
    d.dtrAsked_ = dcb->fDtrControl != DTR_CONTROL_DISABLE;
    d.wireRts_ = d.rtsAsked_;
    d.wireDtr_ = d.dtrAsked_;
    return TRUE;
  }
  static BOOL WINAPI getCommTimeouts(HANDLE, LPCOMMTIMEOUTS t) {
    std::memset(t, 0, sizeof *t);
    return TRUE;
  }
  static BOOL WINAPI setCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return TRUE; }
  static BOOL WINAPI setCommMask(HANDLE, DWORD) {
    if (!current()->refuseEventMasks_) return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  static BOOL WINAPI clearCommError(HANDLE, LPDWORD errors, LPCOMSTAT stat) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (d.clearCommErrorFailure_ != 0 && d.answersLeft_-- <= 0) {
      SetLastError(d.clearCommErrorFailure_);
      return FALSE;
    }
    if (errors != nullptr) *errors = d.lineErrors_;
    d.lineErrors_ = 0;
    if (stat != nullptr) {
      std::memset(stat, 0, sizeof *stat);
      stat->cbInQue = static_cast<DWORD>(d.incoming_.size());
    }
    return TRUE;
  }
  static BOOL WINAPI readFile(HANDLE, LPVOID buffer, DWORD wanted, LPDWORD count, LPOVERLAPPED o) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (count != nullptr) d.readCountPointerGiven_ = true;
    d.issued(o);
    d.pendingRead_ = o;
    d.pendingBuffer_ = static_cast<uint8_t*>(buffer);
    d.pendingWanted_ = wanted;
    if (d.incoming_.empty()) {
      pending(o);
      return FALSE;
    }
    d.completeRead(0);
    if (count != nullptr) *count = static_cast<DWORD>(o->InternalHigh);
    return TRUE;
  }
  static BOOL WINAPI writeFile(HANDLE, LPCVOID, DWORD length, LPDWORD count, LPOVERLAPPED o) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (d.hangWrites_) {
      d.issued(o);
      pending(o);
      return FALSE;
    }
    d.finish(o, length, 0);
    if (count != nullptr) *count = length;
    return TRUE;
  }
  static BOOL WINAPI getOverlappedResult(HANDLE, LPOVERLAPPED o, LPDWORD count, BOOL) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (o->Internal == STATUS_PENDING) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    *count = static_cast<DWORD>(o->InternalHigh);
    const DWORD error = d.errors_[o];
    if (error == 0) return TRUE;
    SetLastError(error);
    return FALSE;
  }
  static BOOL WINAPI cancelIoEx(HANDLE, LPOVERLAPPED o) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (d.ignoreCancellation_) return TRUE;
    if (d.pendingRead_ != nullptr && (o == nullptr || o == d.pendingRead_)) {
      d.completeRead(ERROR_OPERATION_ABORTED);
    }
    return TRUE;
  }
  // Signals in a handshake mode are the driver's: requests for them fail.
  static BOOL WINAPI escapeCommFunction(HANDLE, DWORD code) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    const bool rts = code == SETRTS || code == CLRRTS;
    const bool dtr = code == SETDTR || code == CLRDTR;
    if ((rts && d.dcb_.fRtsControl == RTS_CONTROL_HANDSHAKE) ||
        (dtr && d.dcb_.fDtrControl == DTR_CONTROL_HANDSHAKE)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    if (rts) {
      d.rtsAsked_ = code == SETRTS;
      if (!d.cdc_) d.wireRts_ = d.rtsAsked_;
    }
    if (dtr) {
      d.dtrAsked_ = code == SETDTR;
      d.wireDtr_ = d.dtrAsked_;
      d.wireRts_ = d.rtsAsked_;
    }
    return TRUE;
  }
  // The association is noted; the port handed back is a real one, that
  // never receives a packet.
  static HANDLE WINAPI createIoCompletionPort(HANDLE file, HANDLE, ULONG_PTR, DWORD) {
    PlayedDriver& d = *current();
    std::lock_guard<std::mutex> lock(d.mutex_);
    if (file == port()) d.completionPort_ = true;
    return CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  }

  static constexpr CommFunctions kTable = {
      createFile,         closeHandle,           setupComm,
      purgeComm,          setCommState,          getCommState,
      getCommProperties,  getCommTimeouts,       setCommTimeouts,
      setCommMask,        clearCommError,        readFile,
      writeFile,          getOverlappedResult,   cancelIoEx,
      escapeCommFunction, createIoCompletionPort};

  mutable std::mutex mutex_;
  std::string incoming_;
  OVERLAPPED* pendingRead_ = nullptr;
  uint8_t* pendingBuffer_ = nullptr;
  DWORD pendingWanted_ = 0;
  std::map<OVERLAPPED*, DWORD> errors_;
  // Pending requests bound to a thread, and the thread that issued each.
  std::map<OVERLAPPED*, DWORD> boundTo_;
  int pendingAtThreadExit_ = 0;
  bool completionPort_ = false;
  DWORD clearCommErrorFailure_ = 0;
  int answersLeft_ = 0;
  DWORD lineErrors_ = 0;
  DCB dcb_{};
  DWORD inputQueue_ = 4096;
  bool queueFixed_ = false;
  bool rtsAsked_ = false;
  bool dtrAsked_ = false;
  bool wireRts_ = false;
  bool wireDtr_ = false;
  std::atomic<DWORD> inputQueueAsked_{0};
  std::atomic<bool> reportNoQueueSize_{false};
  std::atomic<bool> ignoreCancellation_{false};
  std::atomic<bool> cdc_{false};
  std::atomic<bool> refuseEventMasks_{false};
  std::atomic<bool> hangWrites_{false};
  std::atomic<bool> readCountPointerGiven_{false};
};
