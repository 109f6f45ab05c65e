// A serial port on another machine, reached over TCP: rfc2217:// (telnet with
// the Com Port Control Option, which carries the line settings and signals)
// or tcp:// (raw bytes, nothing can be set). A SerialLine beside DeviceLine,
// fed by the same input queue and line-feed wake-up as a local port.
//
// Threads as for the local line: the worker waits, counts and reads; the
// supervisor writes and may wake the worker; the rest runs on the main
// thread before the worker starts or after it stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "serial/input_queue.h"
#include "serial/line_settings.h"
#include "serial/network/com_port_session.h"
#include "serial/network/net_socket.h"
#include "serial/network/telnet_codec.h"
#include "serial/pending_output.h"
#include "serial/serial_line.h"

class NetworkLine final : public SerialLine {
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
  // How long a later open, a try to reach the server again, waits for the
  // connection: the supervisor tries between its one-second passes, which a
  // try must not hold up, where the server's machine does not answer.
  static constexpr std::chrono::milliseconds kRetryConnectTimeout{900};

  // With `trace`, the server's answers during configure() are printed there.
  explicit NetworkLine(std::FILE* trace = nullptr) : trace_(trace) {}
  NetworkLine(const NetworkLine&) = delete;
  NetworkLine& operator=(const NetworkLine&) = delete;

  // Connects to `argument` (rfc2217:// or tcp://): 0, EINVAL for a malformed
  // argument, or the system's error. The first open waits kConnectTimeout,
  // every later one kRetryConnectTimeout.
  int open(const std::string& argument) override;
  bool isOpen() const override { return socket_.isOpen(); }
  // Nothing to discard: for rfc2217:// configure() drops whatever arrives
  // before the settings are in force; tcp:// hands on all it receives.
  int purge() override { return 0; }
  // For rfc2217://, negotiates option 44 and applies `settings` through the
  // server: the settings step fails with kNotTakenError when the server
  // refuses or does not answer, or at once, before anything is sent, for a
  // rate of 0 or less (the protocol's query, or no rate at all); the open
  // step with kHeldError when it closes the connection first (it serves
  // another client). What the server sends meanwhile is data of the run, as
  // it comes after the purge. tcp:// sets nothing.
  LineFault configure(const LineSettings& settings) override;

  int awaitLine() override;
  int collect(size_t* queued) override;
  size_t take(uint8_t* buffer, size_t max) override { return queue_.take(buffer, max); }
  int check() const override { return socket_.isOpen() ? 0 : kClosedStatus; }
  size_t unsent() const override { return out_.unsent(); }
  size_t awaitSent(std::chrono::milliseconds limit) override;
  // Signals go to the server as option 44 requests; tcp:// carries none
  // (kNotPossibleError), nor do SETXOFF and SETXON.
  int applySignal(LineSignal signal) override;
  void stopWaiting() override;
  void close() override { socket_.close(); }

 protected:
  void queueTransmission(const char* text, size_t length) override;

 private:
  static constexpr int kClosedStatus = 9;  // EBADF: no connection
  // Protocol replies are dropped while this much output waits unsent.
  static constexpr size_t kReplyBacklog = 64 * 1024;
  // What one look at the connection takes in at most: a server that sends
  // without pause (commands that bring no data, say) must not keep the
  // worker from its stop request, nor a line already queued from the file.
  static constexpr size_t kTakeInBudget = 64 * 1024;

  void forgetConnection();
  LineFault negotiate(const LineSettings& settings);
  int sendWhole(const std::string& bytes, std::chrono::steady_clock::time_point deadline);
  void takeIn();
  size_t decodeInto(uint8_t* bytes, size_t length);
  void queueOutput(const std::string& bytes);
  void sendSome();

  std::FILE* trace_;
  NetSocket socket_;
  bool rfc2217_ = false;
  bool openedBefore_ = false;
  std::unique_ptr<ComPortSession> session_;
  telnet::Decoder decoder_;

  std::atomic<bool> stopRequested_{false};

  // The worker's alone.
  InputQueue queue_;
  int lineError_ = 0;

  // Bytes to send, already escaped, by both threads.
  PendingOutput out_;
  // The connection's error once a send failed; nothing more is queued then.
  std::atomic<int> sendError_{0};
  // The server asked for nothing more to be sent (FLOWCONTROL-SUSPEND):
  // what is queued waits until it asks again. Set by the worker, read by both.
  std::atomic<bool> suspended_{false};
};
