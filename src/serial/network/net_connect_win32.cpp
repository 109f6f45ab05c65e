// Starting Winsock and connecting to the first address that answers, for
// the Windows NetSocket (net_connect_win32.h).
#include "serial/network/net_connect_win32.h"

#include <mstcpip.h>

#include <algorithm>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long an attempt has to itself before the next address is tried too.
constexpr milliseconds kNextAttemptAfter{250};

int millisUntil(Clock::time_point end) {
  auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// On loopback a refusal is final: without this Windows sends the SYN again
// twice, for about two seconds. Systems that lack the option (and Wine)
// refuse it; their refusals keep their own pace.
void refuseAtOnce(SOCKET s) {
  TCP_INITIAL_RTO_PARAMETERS parameters = {TCP_INITIAL_RTO_UNSPECIFIED_RTT,
                                           TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
  DWORD returned = 0;
  WSAIoctl(s, SIO_TCP_INITIAL_RTO, &parameters, sizeof parameters, nullptr, 0, &returned, nullptr,
           nullptr);
}

// Starts a non-blocking connect to `t`: 0 with the socket in *out, which
// may have connected at once (*connected), or the error.
int startAttempt(const ConnectTarget& t, SOCKET* out, bool* connected) {
  const sockaddr* address = reinterpret_cast<const sockaddr*>(&t.address);
  SOCKET s = ::socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  if (isLoopback(address)) refuseAtOnce(s);
  *connected = ::connect(s, address, t.length) == 0;
  const int err = *connected ? 0 : WSAGetLastError();
  if (*connected || err == WSAEWOULDBLOCK) {
    *out = s;
    return 0;
  }
  closesocket(s);
  return err;
}

// The error a failed attempt ended with.
int attemptError(SOCKET s) {
  int err = 0;
  int length = sizeof err;
  getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &length);
  return err != 0 ? err : WSAECONNREFUSED;
}

}  // namespace

int startWinsockWith(decltype(&WSAStartup) startup) {
  WSADATA data;
  return startup(MAKEWORD(2, 2), &data);
}

bool isLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family != AF_INET6) return false;
  const IN6_ADDR& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(v6.s6_addr, kMapped, sizeof kMapped) == 0) return v6.s6_addr[12] == 127;
  static const uint8_t kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(v6.s6_addr, kLoopback, sizeof kLoopback) == 0;
}

std::vector<ConnectTarget> connectTargets(const addrinfo* found) {
  std::vector<ConnectTarget> first, other;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_addr == nullptr || a->ai_addrlen > sizeof(sockaddr_storage)) continue;
    ConnectTarget t{};
    std::memcpy(&t.address, a->ai_addr, a->ai_addrlen);
    t.length = static_cast<int>(a->ai_addrlen);
    (a->ai_family == found->ai_family ? first : other).push_back(t);
  }
  std::vector<ConnectTarget> turns;
  for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
    if (i < first.size()) turns.push_back(first[i]);
    if (i < other.size()) turns.push_back(other[i]);
  }
  return turns;
}

int connectFirst(const std::vector<ConnectTarget>& targets, Clock::time_point deadline,
                 SOCKET* out) {
  std::vector<SOCKET> going;
  SOCKET winner = INVALID_SOCKET;
  int err = WSAETIMEDOUT;  // the last attempt's that failed
  int stopped = 0;         // the wait's, had it failed
  size_t next = 0;
  auto nextStart = Clock::now();
  while (winner == INVALID_SOCKET && Clock::now() < deadline) {
    const bool more = next < targets.size() && going.size() < FD_SETSIZE;
    if (more && (going.empty() || Clock::now() >= nextStart)) {
      SOCKET s = INVALID_SOCKET;
      bool connected = false;
      const int failed = startAttempt(targets[next++], &s, &connected);
      if (failed != 0) {
        err = failed;
      } else if (connected) {
        winner = s;
      } else {
        going.push_back(s);
        nextStart = Clock::now() + kNextAttemptAfter;
      }
      continue;
    }
    if (going.empty()) break;  // every address failed
    // A failed connect shows in the error set; select() waits for either.
    fd_set writes, errors;
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    for (SOCKET s : going) {
      FD_SET(s, &writes);
      FD_SET(s, &errors);
    }
    const int ms = more ? millisUntil(std::min(deadline, nextStart)) : millisUntil(deadline);
    timeval limit = {ms / 1000, (ms % 1000) * 1000};
    if (::select(0, nullptr, &writes, &errors, &limit) == SOCKET_ERROR) {
      stopped = WSAGetLastError();
      break;
    }
    for (auto it = going.begin(); it != going.end();) {
      if (FD_ISSET(*it, &errors)) {
        err = attemptError(*it);
        closesocket(*it);
        it = going.erase(it);
        nextStart = Clock::now();  // the next address at once
      } else if (FD_ISSET(*it, &writes) && winner == INVALID_SOCKET) {
        winner = *it;
        it = going.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (SOCKET s : going) closesocket(s);
  if (winner == INVALID_SOCKET) {
    // Attempts still going on have run out of time, unless the wait failed.
    if (stopped != 0) return stopped;
    return going.empty() ? err : WSAETIMEDOUT;
  }
  // Transmissions are short texts: they go out at once.
  BOOL one = TRUE;
  setsockopt(winner, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  *out = winner;
  return 0;
}
