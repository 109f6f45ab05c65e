// The telnet layer of a network port: taking the data out of the stream a
// server sends (IAC undoubled, commands and subnegotiations handed on, never
// taken for data), escaping outgoing data, and the bytes of option
// negotiation and of the Com Port Control Option (RFC 2217) requests.
// Pure: no sockets, no clocks. The stream comes from the network, so the
// decoder holds at most a few bytes of state whatever it is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kOptionBinary = 0;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
inline constexpr uint8_t kOptionComPort = 44;

// Commands of the Com Port Control Option as the client sends them; the
// server's answer carries the same command plus kServerOffset.
namespace comport {
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
// The server asks the client to stop sending, and to go on; no value.
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// Values of SET-PARITY and SET-STOPSIZE.
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kParityOdd = 2;
inline constexpr uint8_t kParityEven = 3;
inline constexpr uint8_t kStopOne = 1;
inline constexpr uint8_t kStopTwo = 2;
inline constexpr uint8_t kStopOneAndHalf = 3;

// Values of SET-CONTROL.
inline constexpr uint8_t kFlowNone = 1;
inline constexpr uint8_t kFlowHardware = 3;
inline constexpr uint8_t kBreakOn = 5;
inline constexpr uint8_t kBreakOff = 6;
inline constexpr uint8_t kDtrOn = 8;
inline constexpr uint8_t kDtrOff = 9;
inline constexpr uint8_t kRtsOn = 11;
inline constexpr uint8_t kRtsOff = 12;

// Values of PURGE-DATA.
inline constexpr uint8_t kPurgeBoth = 3;
}  // namespace comport

// Takes the data out of a received telnet stream.
class Decoder {
 public:
  // Subnegotiations longer than this are dropped whole: every answer the
  // client looks at is a few bytes long.
  static constexpr size_t kMaxSubnegotiation = 32;

  // What the decoder hands on besides data. Called as each command completes.
  class Listener {
   public:
    // An option request: `verb` is kWill, kWont, kDo or kDont.
    virtual void negotiation(uint8_t verb, uint8_t option) = 0;
    // IAC SB option payload IAC SE, the payload undoubled.
    virtual void subnegotiation(uint8_t option, const uint8_t* payload, size_t length) = 0;

   protected:
    ~Listener() = default;
  };

  // Decodes `length` received bytes in place: the data among them moves to
  // the front of `bytes`, in order, and its length is returned. A command cut
  // by the end of `bytes` completes in a later call.
  size_t decode(uint8_t* bytes, size_t length, Listener& listener);

  // Whether the stream so far ended in the middle of a command.
  bool midCommand() const { return state_ != State::kData; }

 private:
  enum class State : uint8_t { kData, kCommand, kOption, kSubOption, kSubData, kSubIac };

  // Handles the byte after an IAC; returns whether it is a data byte (0xFF).
  bool command(uint8_t byte);
  void subData(uint8_t byte);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t subOption_ = 0;
  bool subTooLong_ = false;
  size_t subLength_ = 0;
  uint8_t sub_[kMaxSubnegotiation] = {};
};

// Appends `data` to `out` with every IAC doubled.
void appendEscaped(std::string& out, const uint8_t* data, size_t length);

// IAC verb option.
std::string negotiationBytes(uint8_t verb, uint8_t option);

// IAC SB 44 command value IAC SE, IAC in the value doubled.
std::string comPortRequest(uint8_t command, const uint8_t* value, size_t length);
std::string comPortRequest(uint8_t command, uint8_t value);
// SET-BAUDRATE carries four bytes, most significant first.
std::string setBaudRateRequest(uint32_t rate);

// A server's answer to a Com Port Control Option request: the client's
// command number (the server's minus kServerOffset) and the value, four bytes
// for the rate, one for everything else.
struct ComPortAnswer {
  uint8_t command = 0;
  uint32_t value = 0;
};

// Reads the payload of a subnegotiation of option 44 (after the option byte).
// False for anything that is no well-formed answer of the server.
bool parseComPortAnswer(const uint8_t* payload, size_t length, ComPortAnswer* answer);

}  // namespace telnet
