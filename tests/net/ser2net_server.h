// A ser2net of the test's own: started in the foreground with a
// configuration file written for it, serving one pseudo-terminal on two ports
// of 127.0.0.1 (RFC 2217 and raw TCP), stopped when the test is done.
#pragma once

#include <memory>
#include <string>

#include "program_run.h"
#include "testing/temp_dir.h"

class Ser2net {
 public:
  // ser2net's path, or "" when it is not installed.
  static std::string binary();

  // Serves `device`; throws std::runtime_error when ser2net does not listen
  // within a few seconds.
  explicit Ser2net(const std::string& device);
  ~Ser2net();

  std::string rfc2217Url() const { return "rfc2217://127.0.0.1:" + std::to_string(rfc2217Port_); }
  std::string tcpUrl() const { return "tcp://127.0.0.1:" + std::to_string(tcpPort_); }

  // Stops ser2net now: every connection it serves closes.
  void stop();
  // Starts it again on the same ports, as a restarted server comes back.
  void restart();

 private:
  void start();

  std::string device_;
  TempDir dir_;
  int rfc2217Port_ = 0;
  int tcpPort_ = 0;
  std::unique_ptr<ProgramRun> run_;
};

// A TCP port of 127.0.0.1 that nothing listens on at the moment.
int freeLocalPort();
