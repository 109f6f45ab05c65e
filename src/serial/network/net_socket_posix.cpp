// NetSocket on POSIX: a non-blocking socket and a pipe watched beside it.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "serial/network/deadline_call.h"
#include "serial/network/net_socket.h"

const int NetSocket::kClosedError = ECONNRESET;

struct NetSocket::Impl {
  int fd = -1;
  int wake[2] = {-1, -1};
};

namespace {

using Clock = std::chrono::steady_clock;

int millisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// One address: a non-blocking connect, waited for until `deadline`.
int connectOne(const addrinfo& a, Clock::time_point deadline, int* fdOut) {
  int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) return errno;
  int err = 0;
  if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      pollfd p = {fd, POLLOUT, 0};
      int n;
      do {
        n = ::poll(&p, 1, millisLeft(deadline));
      } while (n < 0 && errno == EINTR);
      socklen_t length = sizeof err;
      if (n == 0) {
        err = ETIMEDOUT;
      } else if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) {
        err = errno;
      }
    }
  }
  if (err != 0) {
    ::close(fd);
    return err;
  }
  // Transmissions are short texts: they go out at once.
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  *fdOut = fd;
  return 0;
}

// The resolver's answer as an error number: a name that does not exist is
// a missing port (ENOENT), told apart from a host that cannot be reached.
int lookupError(int answer, int systemError) {
  switch (answer) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return ENOENT;
    case EAI_AGAIN:
      return ETIMEDOUT;
    case EAI_SYSTEM:
      return systemError;
    default:
      return EHOSTUNREACH;
  }
}

// Looks `host` up within the connect limit: the system's resolver keeps no
// time limit of its own.
int lookUp(const std::string& host, const std::string& port, Clock::time_point deadline,
           addrinfo** found) {
  struct Lookup {
    std::string host, port;
    addrinfo* found = nullptr;
    int answer = 0;
    int systemError = 0;
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
        hints.ai_flags = AI_NUMERICSERV;
        lookup->answer =
            ::getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, &lookup->found);
        lookup->systemError = errno;
      },
      [lookup] {
        if (lookup->found != nullptr) ::freeaddrinfo(lookup->found);
      });
  if (!done) return ETIMEDOUT;
  if (lookup->answer != 0) return lookupError(lookup->answer, lookup->systemError);
  *found = lookup->found;
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
  const auto deadline = Clock::now() + timeout;
  addrinfo* found = nullptr;
  if (int err = lookUp(host, port, deadline, &found)) return err;
  if (::pipe2(impl_->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    ::freeaddrinfo(found);
    return errno;
  }
  int err = ETIMEDOUT;
  for (const addrinfo* a = found; a != nullptr && millisLeft(deadline) > 0; a = a->ai_next) {
    err = connectOne(*a, deadline, &impl_->fd);
    if (err == 0) break;
  }
  ::freeaddrinfo(found);
  return err;
}

bool NetSocket::isOpen() const {
  return impl_->fd >= 0;
}

long NetSocket::receive(uint8_t* buffer, size_t max, int* error) {
  for (;;) {
    ssize_t n = ::recv(impl_->fd, buffer, max, 0);
    if (n > 0) return n;
    if (n == 0) {
      *error = kClosedError;
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *error = errno;
    return -1;
  }
}

long NetSocket::send(const uint8_t* data, size_t length, int* error) {
  for (;;) {
    ssize_t n = ::send(impl_->fd, data, length, MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *error = errno;
    return -1;
  }
}

int NetSocket::wait(bool forWrite, int timeoutMs, int* ready) {
  pollfd p[2] = {{impl_->fd, static_cast<short>(POLLIN | (forWrite ? POLLOUT : 0)), 0},
                 {impl_->wake[0], POLLIN, 0}};
  *ready = 0;
  int n = ::poll(p, 2, timeoutMs);
  if (n < 0) return errno == EINTR ? 0 : errno;
  if (p[1].revents != 0) {
    char drain[64];
    while (::read(impl_->wake[0], drain, sizeof drain) > 0) {
    }
    *ready |= kWoken;
  }
  if (p[0].revents & POLLOUT) *ready |= kWritable;
  // A hang-up or an error is read as such by receive().
  if (p[0].revents & ~POLLOUT) *ready |= kReadable;
  return 0;
}

void NetSocket::wake() {
  if (impl_->wake[1] >= 0) (void)!::write(impl_->wake[1], "w", 1);
}

void NetSocket::close() {
  for (int* fd : {&impl_->fd, &impl_->wake[0], &impl_->wake[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}
