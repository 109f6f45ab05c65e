// How the Windows NetSocket starts Winsock and connects, apart so that tests
// reach them. Windows tries a refused connection again for about two
// seconds, loopback included, and a name's first address may be one that
// never answers (IPv6 where the server listens on IPv4 only): the addresses
// are tried in turns, each one not waiting for the one before for long, and
// on loopback a refusal is final at once.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <vector>

// Starts Winsock through `startup` (WSAStartup): 0, or the error that call
// returned (it sets no last error to read: that needs Winsock started).
int startWinsockWith(decltype(&WSAStartup) startup);

// Whether `address` is this machine's loopback: 127.0.0.0/8, ::1, or
// 127.0.0.0/8 mapped into IPv6.
bool isLoopback(const sockaddr* address);

// One address to connect to.
struct ConnectTarget {
  sockaddr_storage address;
  int length;
};

// The addresses of getaddrinfo's list `found`, the families taking turns,
// the first one's family first.
std::vector<ConnectTarget> connectTargets(const addrinfo* found);

// Connects to the first of `targets` that answers. Each attempt starts when
// the one before failed, or 250 ms after it started if it is still going
// on; attempts go on together until one connects or `deadline` passes.
// Returns 0 with the connected socket in *out (the others closed), the
// error of the last attempt that failed, or WSAETIMEDOUT when the deadline
// came first.
int connectFirst(const std::vector<ConnectTarget>& targets,
                 std::chrono::steady_clock::time_point deadline, SOCKET* out);
