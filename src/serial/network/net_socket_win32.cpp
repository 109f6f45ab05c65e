// NetSocket on Windows: a non-blocking Winsock socket. The wait looks at the
// socket in slices of 50 ms between which it notices wake(), which keeps it
// to plain select() (the one wait every Winsock, Wine's too, does alike).
// Starting Winsock and connecting are net_connect_win32.cpp's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "serial/network/deadline_call.h"
#include "serial/network/net_connect_win32.h"
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

// Looks `host` up within the connect limit: the system's resolver keeps no
// time limit of its own. A name that does not exist is a missing port
// (ERROR_FILE_NOT_FOUND), told apart from a host that cannot be reached.
int lookUp(const std::string& host, const std::string& port, Clock::time_point deadline,
           addrinfo** found) {
  struct Lookup {
    std::string host, port;
    addrinfo* found = nullptr;
    int answer = 0;
  };
  auto lookup = std::make_shared<Lookup>();
  lookup->host = host;
  lookup->port = port;
  const bool done = callBefore(
      deadline,
      [lookup] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        lookup->answer =
            getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, &lookup->found);
      },
      [lookup] {
        if (lookup->found != nullptr) freeaddrinfo(lookup->found);
      });
  if (!done) return WSAETIMEDOUT;
  switch (lookup->answer) {
    case 0:
      *found = lookup->found;
      return 0;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
      return ERROR_FILE_NOT_FOUND;
    case WSATRY_AGAIN:
      return WSAETIMEDOUT;
    default:
      return lookup->answer;
  }
}

// 0, or why Winsock could not start; asked once.
int startWinsock() {
  static const int error = startWinsockWith(WSAStartup);
  return error;
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

}  // namespace

NetSocket::NetSocket() : impl_(new Impl) {}

NetSocket::~NetSocket() {
  close();
  delete impl_;
}

int NetSocket::connect(const std::string& host, const std::string& port,
                       std::chrono::milliseconds timeout) {
  if (int err = startWinsock()) return err;
  const auto deadline = Clock::now() + timeout;
  addrinfo* found = nullptr;
  if (int err = lookUp(host, port, deadline, &found)) return err;
  const std::vector<ConnectTarget> targets = connectTargets(found);
  freeaddrinfo(found);
  return connectFirst(targets, deadline, &impl_->socket);
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
