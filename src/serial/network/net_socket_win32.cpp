// NetSocket on Windows: a non-blocking Winsock socket. The wait looks at the
// socket in slices of 50 ms between which it notices wake(), which keeps it
// to plain select() (the one wait every Winsock, Wine's too, does alike).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>

#include "serial/network/net_socket.h"

const int NetSocket::kClosedError = WSAECONNRESET;

struct NetSocket::Impl {
  SOCKET socket = INVALID_SOCKET;
  std::atomic<bool> woken{false};
};

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 50;

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool startWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// select() on one socket for up to `ms`; sets the three answers.
int selectOne(SOCKET s, bool forWrite, int ms, bool* readable, bool* writable, bool* failed) {
  fd_set reads, writes, errors;
  FD_ZERO(&reads);
  FD_ZERO(&writes);
  FD_ZERO(&errors);
  FD_SET(s, &reads);
  if (forWrite) FD_SET(s, &writes);
  FD_SET(s, &errors);
  timeval limit = {ms / 1000, (ms % 1000) * 1000};
  int n = ::select(0, &reads, forWrite ? &writes : nullptr, &errors, &limit);
  if (n == SOCKET_ERROR) return WSAGetLastError();
  *readable = FD_ISSET(s, &reads) != 0;
  *writable = forWrite && FD_ISSET(s, &writes) != 0;
  *failed = FD_ISSET(s, &errors) != 0;
  return 0;
}

int connectOne(const addrinfo& a, Clock::time_point deadline, SOCKET* out) {
  SOCKET s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  int err = 0;
  if (::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) == SOCKET_ERROR) {
    err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      // A failed connect shows in the error set; select() waits for either.
      fd_set writes, errors;
      FD_ZERO(&writes);
      FD_ZERO(&errors);
      FD_SET(s, &writes);
      FD_SET(s, &errors);
      const int ms = millisLeft(deadline);
      timeval limit = {ms / 1000, (ms % 1000) * 1000};
      int n = ::select(0, nullptr, &writes, &errors, &limit);
      int length = sizeof err;
      if (n == 0) {
        err = WSAETIMEDOUT;
      } else if (n == SOCKET_ERROR) {
        err = WSAGetLastError();
      } else if (FD_ISSET(s, &errors)) {
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &length);
        if (err == 0) err = WSAECONNREFUSED;
      } else {
        err = 0;
      }
    }
  }
  if (err != 0) {
    closesocket(s);
    return err;
  }
  // Transmissions are short texts: they go out at once.
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  *out = s;
  return 0;
}

}  // namespace

NetSocket::NetSocket() : impl_(new Impl) {}

NetSocket::~NetSocket() {
  close();
  delete impl_;
}

int NetSocket::connect(const std::string& host, const std::string& port,
                       std::chrono::milliseconds timeout) {
  if (!startWinsock()) return WSAGetLastError();
  const auto deadline = Clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) return resolved;
  int err = WSAETIMEDOUT;
  for (const addrinfo* a = found; a != nullptr && millisLeft(deadline) > 0; a = a->ai_next) {
    err = connectOne(*a, deadline, &impl_->socket);
    if (err == 0) break;
  }
  freeaddrinfo(found);
  return err;
}

bool NetSocket::isOpen() const {
  return impl_->socket != INVALID_SOCKET;
}

long NetSocket::receive(uint8_t* buffer, size_t max, int* error) {
  const int length = static_cast<int>(std::min<size_t>(max, 1 << 20));
  int n = ::recv(impl_->socket, reinterpret_cast<char*>(buffer), length, 0);
  if (n > 0) return n;
  if (n == 0) {
    *error = kClosedError;
    return -1;
  }
  const int err = WSAGetLastError();
  if (err == WSAEWOULDBLOCK) return 0;
  *error = err;
  return -1;
}

long NetSocket::send(const uint8_t* data, size_t length, int* error) {
  const int chunk = static_cast<int>(std::min<size_t>(length, 1 << 20));
  int n = ::send(impl_->socket, reinterpret_cast<const char*>(data), chunk, 0);
  if (n >= 0) return n;
  const int err = WSAGetLastError();
  if (err == WSAEWOULDBLOCK) return 0;
  *error = err;
  return -1;
}

int NetSocket::wait(bool forWrite, int timeoutMs, int* ready) {
  *ready = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (impl_->woken.exchange(false)) {
      *ready = kWoken;
      return 0;
    }
    const int slice = timeoutMs < 0 ? kSliceMs : std::min(kSliceMs, millisLeft(deadline));
    bool readable = false, writable = false, failed = false;
    int err = selectOne(impl_->socket, forWrite, slice, &readable, &writable, &failed);
    if (err != 0) return err;
    // A failure is read as such by receive().
    if (readable || failed) *ready |= kReadable;
    if (writable) *ready |= kWritable;
    if (*ready != 0 || (timeoutMs >= 0 && millisLeft(deadline) == 0)) return 0;
  }
}

void NetSocket::wake() {
  impl_->woken.store(true);
}

void NetSocket::close() {
  if (impl_->socket != INVALID_SOCKET) closesocket(impl_->socket);
  impl_->socket = INVALID_SOCKET;
}
