// A small RFC 2217 server of the test's own, for the refusals ser2net never
// makes: it listens on 127.0.0.1 and serves one client at a time in a thread,
// answering as its behaviour says.
#pragma once

#include <atomic>
#include <string>
#include <thread>

class FakeComPortServer {
 public:
  enum class Behaviour {
    kOtherRate,      // agrees to option 44, answers every rate with half of it
    kSilent,         // agrees to option 44, never answers a setting
    kRefusesOption,  // refuses option 44
    // Takes the settings, then, reading nothing more, asks the client to
    // enable an option it refuses, 32 MiB of requests, and sends "done\n".
    kAsksWithoutReading,
  };

  explicit FakeComPortServer(Behaviour behaviour);
  ~FakeComPortServer();

  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

 private:
  void serve();
  void answer(int client);
  // Sends `bytes` unless the server is being stopped. False then.
  bool sendOrStop(int client, const std::string& bytes);
  void askWithoutReading(int client);

  Behaviour behaviour_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};
