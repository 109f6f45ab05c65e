// The client's side of an RFC 2217 opening: binary transmission both ways and
// the Com Port Control Option negotiated, then the line settings requested
// and the server's answers checked against them. Pure: fed with what the
// telnet decoder hands on, it says what to send and how far the opening got;
// the network line owns the socket and the clock.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/line_settings.h"
#include "serial/line_signals.h"
#include "serial/network/telnet_codec.h"

class ComPortSession final : public telnet::Decoder::Listener {
 public:
  enum class Phase {
    kNegotiating,  // waiting for the server to agree to option 44
    kConfiguring,  // settings requested, answers outstanding
    kReady,        // every checked setting answered as asked
    kRefused,      // option 44 or a setting refused: refusal() says which
  };

  // Queues the opening's option requests.
  explicit ComPortSession(const LineSettings& settings);

  // Bytes waiting to be sent: requests and replies. The caller sends them
  // and clears the string.
  std::string& output() { return output_; }

  Phase phase() const { return phase_; }
  // What was refused, in words, once phase() is kRefused.
  const std::string& refusal() const { return refusal_; }

  // The server's answers received since the last call, for the debug trace.
  std::vector<telnet::ComPortAnswer> takeAnswers();

  // Whether the server has asked the client to stop sending
  // (FLOWCONTROL-SUSPEND) and not yet to go on (FLOWCONTROL-RESUME).
  bool outputSuspended() const { return suspended_; }

  void negotiation(uint8_t verb, uint8_t option) override;
  void subnegotiation(uint8_t option, const uint8_t* payload, size_t length) override;

 private:
  void send(const std::string& bytes) { output_ += bytes; }
  void requestSettings();
  void check(const telnet::ComPortAnswer& answer);
  void refuse(std::string what);

  LineSettings settings_;
  Phase phase_ = Phase::kNegotiating;
  std::string refusal_;
  std::string output_;
  std::vector<telnet::ComPortAnswer> answers_;
  bool suspended_ = false;
  // The checked answers received, by setting.
  enum Answered { kRateAnswered, kDataSizeAnswered, kParityAnswered, kStopSizeAnswered, kAnswers };
  std::bitset<kAnswers> answered_;

  // Options of ours the server may switch on, and its own that we accept.
  std::bitset<256> localOn_, localAsked_;
  std::bitset<256> remoteOn_, remoteAsked_;
};

// The SET-CONTROL request for a line signal (RTS and DTR on and off, break on
// and off). False for signals that the option cannot
// express (the software flow state, the device reset).
bool comPortSignalRequest(LineSignal signal, std::string* request);
