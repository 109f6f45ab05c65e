// A serial port on another machine, reached over TCP: rfc2217:// (telnet with
// the Com Port Control Option, which carries the line settings and signals)
// or tcp:// (raw bytes, nothing can be set). It offers the serial line's
// verbs, fed by the same input queue and line-feed wake-up as a local port.
//
// Threads as for the local line: the worker waits, counts and reads; the
// supervisor writes and may wake the worker; the rest runs on the main
// thread before the worker starts or after it stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "serial/com_port_session.h"
#include "serial/input_queue.h"
#include "serial/line_settings.h"
#include "serial/net_socket.h"
#include "serial/network_address.h"
#include "serial/telnet_codec.h"

class NetworkLine {
 public:
  // Error numbers of the network line's own verdicts, the same on every
  // platform (the values Linux gives them).
  static constexpr int kHeldError = 16;         // the server closed during the opening
  static constexpr int kNotTakenError = 22;     // a setting refused or not answered
  static constexpr int kNotPossibleError = 95;  // a signal the protocol cannot carry

  // How long the opening waits: for the connection, then for the server's
  // agreement to option 44 and for its answers to the settings.
  static constexpr std::chrono::seconds kConnectTimeout{5};
  static constexpr std::chrono::seconds kAnswerTimeout{2};

  // Which step of the opening failed.
  enum class OpenStep { kNone, kConnect, kSettings };

  NetworkLine() = default;
  NetworkLine(const NetworkLine&) = delete;
  NetworkLine& operator=(const NetworkLine&) = delete;

  // Connects to `argument` and, for rfc2217://, negotiates and applies the
  // settings, discarding whatever arrives before they are in force. Returns
  // 0, or an error number with *failed saying where: kConnect (a malformed
  // argument EINVAL, the system's error, or kHeldError when the server
  // closed the connection first), kSettings (kNotTakenError). With `trace`,
  // the server's answers are printed there.
  int open(const std::string& argument, const LineSettings& settings, OpenStep* failed,
           std::FILE* trace);
  bool isOpen() const { return socket_.isOpen(); }

  int waitForLineEvent(int stoppedResult);
  int queueCount(size_t* count);
  size_t read(uint8_t* buffer, size_t max) { return queue_.take(buffer, max); }
  int status() const { return socket_.isOpen() ? 0 : kClosedStatus; }
  void write(const char* text, size_t length);
  size_t unsent() const { return outLeft_.load(); }
  size_t awaitSent(std::chrono::milliseconds limit);
  int applySignal(int code);
  void requestStop();
  void close() { socket_.close(); }

 private:
  static constexpr int kClosedStatus = 9;  // EBADF: no connection

  int negotiate(const LineSettings& settings, OpenStep* failed, std::FILE* trace);
  int sendWhole(const std::string& bytes, std::chrono::steady_clock::time_point deadline);
  void takeIn();
  void queueOutput(const std::string& bytes);
  void sendSome();

  NetSocket socket_;
  bool rfc2217_ = false;
  std::unique_ptr<ComPortSession> session_;
  telnet::Decoder decoder_;

  std::atomic<bool> stopRequested_{false};

  // The worker's alone.
  InputQueue queue_;
  int lineError_ = 0;

  // Bytes to send, already escaped: [outSent_, size) of out_, under outMutex_.
  std::mutex outMutex_;
  std::string out_;
  size_t outSent_ = 0;
  std::atomic<size_t> outLeft_{0};
  int sendError_ = 0;
};
