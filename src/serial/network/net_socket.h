// The TCP connection under a network port, one implementation per platform
// (net_socket_posix.cpp, net_socket_win32.cpp): a non-blocking stream socket
// whose wait a second thread can wake.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

class NetSocket {
 public:
  NetSocket();
  ~NetSocket();
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  // Resolves `host` and connects to the first of its addresses that answers
  // within what is left of `timeout`. 0 or the system's error number.
  int connect(const std::string& host, const std::string& port, std::chrono::milliseconds timeout);
  bool isOpen() const;

  // Bytes received (> 0), 0 when none are waiting, -1 when the connection
  // failed or the server closed it (*error says which: kClosedError for a
  // close).
  long receive(uint8_t* buffer, size_t max, int* error);
  // Bytes the connection took now (0: none), -1 on failure (*error).
  long send(const uint8_t* data, size_t length, int* error);

  static constexpr int kReadable = 1;
  static constexpr int kWritable = 2;
  static constexpr int kWoken = 4;
  // Waits until the socket is readable (or writable, with `forWrite`), wake()
  // was called or `timeoutMs` (-1: no limit) passed. Sets *ready to what
  // happened. 0 or an error number.
  int wait(bool forWrite, int timeoutMs, int* ready);
  // Wakes a wait() on another thread. Thread-safe.
  void wake();

  void close();

  // The error number of a connection the server closed: the platform's
  // "connection reset".
  static const int kClosedError;

 private:
  struct Impl;
  Impl* impl_;
};
