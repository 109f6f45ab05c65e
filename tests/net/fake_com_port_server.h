// A small RFC 2217 server of the test's own, for the refusals ser2net never
// makes: it listens on 127.0.0.1 and serves one client at a time in a thread,
// answering as its behaviour says.
#pragma once

#include <atomic>
#include <mutex>
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
    // Take the settings, send "before\n", then, reading nothing more, send
    // without end: IAC WILL 99 over and over, or one subnegotiation of
    // option 44 that never ends.
    kFloodsRequests,
    kFloodsSubnegotiation,
    // Sends "first\n" and Ctrl-Z in the segment of its last answer.
    kDataWithLastAnswer,
    // Takes the settings, asks the client to stop sending
    // (FLOWCONTROL-SUSPEND) and sends "held\n"; lets it go on after resume().
    // Once data came after that, sends Ctrl-Z.
    kSuspends,
  };

  explicit FakeComPortServer(Behaviour behaviour);
  ~FakeComPortServer();

  std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

  // Every byte the clients sent, and the data among them (commands taken out).
  std::string received() const;
  std::string data() const;
  // kSuspends: sends FLOWCONTROL-RESUME.
  void resume();

 private:
  void serve();
  void answer(int client);
  // Sends `bytes` unless the server is being stopped. False then.
  bool sendOrStop(int client, const std::string& bytes);
  void askWithoutReading(int client);
  void flood(int client);
  void record(const uint8_t* bytes, size_t length, const uint8_t* data, size_t dataLength);

  Behaviour behaviour_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  int resume_[2] = {-1, -1};
  mutable std::mutex mutex_;
  std::string received_;
  std::string data_;
  std::thread thread_;
};
