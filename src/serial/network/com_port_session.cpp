// The RFC 2217 opening of com_port_session.h: option negotiation that never
// loops (a request is answered only when it changes an option's state) and
// the check of the server's answers.
#include "serial/network/com_port_session.h"

#include <utility>

#include "serial/line_rate_check.h"

using namespace telnet;

namespace {

bool wantedLocally(uint8_t option) {
  return option == kOptionBinary || option == kOptionComPort;
}

bool wantedFromServer(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

uint8_t parityValue(Parity parity) {
  switch (parity) {
    case Parity::kOdd:
      return comport::kParityOdd;
    case Parity::kEven:
      return comport::kParityEven;
    case Parity::kNone:
      break;
  }
  return comport::kParityNone;
}

uint8_t stopValue(StopBits stopBits) {
  return stopBits == StopBits::kTwo ? comport::kStopTwo : comport::kStopOne;
}

}  // namespace

ComPortSession::ComPortSession(const LineSettings& settings) : settings_(settings) {
  for (uint8_t option : {kOptionBinary, kOptionComPort}) {
    send(negotiationBytes(kWill, option));
    localAsked_.set(option);
  }
  send(negotiationBytes(kDo, kOptionBinary));
  remoteAsked_.set(kOptionBinary);
}

std::vector<ComPortAnswer> ComPortSession::takeAnswers() {
  return std::exchange(answers_, {});
}

void ComPortSession::negotiation(uint8_t verb, uint8_t option) {
  switch (verb) {
    case kDo:
      if (!wantedLocally(option)) {
        send(negotiationBytes(kWont, option));
      } else if (!localOn_[option]) {
        localOn_.set(option);
        if (!localAsked_[option]) send(negotiationBytes(kWill, option));
        localAsked_.reset(option);
        if (option == kOptionComPort && phase_ == Phase::kNegotiating) requestSettings();
      }
      break;
    case kDont:
      if (localOn_[option] || localAsked_[option]) {
        if (!localAsked_[option]) send(negotiationBytes(kWont, option));
        localOn_.reset(option);
        localAsked_.reset(option);
        if (option == kOptionComPort && phase_ != Phase::kReady) {
          refuse("the server refused option 44");
        }
      }
      break;
    case kWill:
      if (!wantedFromServer(option)) {
        send(negotiationBytes(kDont, option));
      } else if (!remoteOn_[option]) {
        remoteOn_.set(option);
        if (!remoteAsked_[option]) send(negotiationBytes(kDo, option));
        remoteAsked_.reset(option);
      }
      break;
    case kWont:
      if (remoteOn_[option] || remoteAsked_[option]) {
        if (!remoteAsked_[option]) send(negotiationBytes(kDont, option));
        remoteOn_.reset(option);
        remoteAsked_.reset(option);
      }
      break;
    default:
      break;
  }
}

void ComPortSession::requestSettings() {
  phase_ = Phase::kConfiguring;
  send(setBaudRateRequest(static_cast<uint32_t>(settings_.baudRate)));
  send(comPortRequest(comport::kSetDataSize, 8));
  send(comPortRequest(comport::kSetParity, parityValue(settings_.parity)));
  send(comPortRequest(comport::kSetStopSize, stopValue(settings_.stopBits)));
  // DTR and RTS as a local line sets them: RTS is left to the handshake.
  const bool handshake = settings_.modemLines == ModemLines::kHandshake;
  const bool low = settings_.modemLines == ModemLines::kLow;
  send(comPortRequest(comport::kSetControl,
                      handshake ? comport::kFlowHardware : comport::kFlowNone));
  send(comPortRequest(comport::kSetControl, low ? comport::kDtrOff : comport::kDtrOn));
  if (!handshake) {
    send(comPortRequest(comport::kSetControl, low ? comport::kRtsOff : comport::kRtsOn));
  }
  send(comPortRequest(comport::kPurgeData, comport::kPurgeBoth));
}

void ComPortSession::subnegotiation(uint8_t option, const uint8_t* payload, size_t length) {
  if (option != kOptionComPort) return;
  // The flow control requests are the server's only ones without a value.
  if (length == 1 && payload[0] == comport::kServerOffset + comport::kFlowControlSuspend) {
    suspended_ = true;
    return;
  }
  if (length == 1 && payload[0] == comport::kServerOffset + comport::kFlowControlResume) {
    suspended_ = false;
    return;
  }
  ComPortAnswer answer;
  if (!parseComPortAnswer(payload, length, &answer)) return;
  answers_.push_back(answer);
  if (phase_ == Phase::kConfiguring) check(answer);
}

void ComPortSession::check(const ComPortAnswer& answer) {
  const uint32_t value = answer.value;
  switch (answer.command) {
    case comport::kSetBaudRate:
      answered_.set(kRateAnswered);
      if (!serial_detail::rateTaken(settings_.baudRate, 0, value)) {
        refuse("the server set the rate " + std::to_string(value));
      }
      break;
    case comport::kSetDataSize:
      answered_.set(kDataSizeAnswered);
      if (value != 8) refuse("the server set the data size " + std::to_string(value));
      break;
    case comport::kSetParity:
      answered_.set(kParityAnswered);
      if (value != parityValue(settings_.parity)) {
        refuse("the server set the parity " + std::to_string(value));
      }
      break;
    case comport::kSetStopSize:
      answered_.set(kStopSizeAnswered);
      if (value != stopValue(settings_.stopBits)) {
        refuse("the server set the stop size " + std::to_string(value));
      }
      break;
    default:
      // SET-CONTROL and PURGE-DATA answers never fail the opening: servers
      // answer them for lines without modem signals as they see fit.
      break;
  }
  if (phase_ == Phase::kConfiguring && answered_.all()) phase_ = Phase::kReady;
}

void ComPortSession::refuse(std::string what) {
  if (phase_ == Phase::kRefused) return;
  phase_ = Phase::kRefused;
  refusal_ = std::move(what);
}

bool comPortSignalRequest(LineSignal signal, std::string* request) {
  uint8_t value;
  switch (signal) {
    case LineSignal::kSetRts:
      value = comport::kRtsOn;
      break;
    case LineSignal::kClrRts:
      value = comport::kRtsOff;
      break;
    case LineSignal::kSetDtr:
      value = comport::kDtrOn;
      break;
    case LineSignal::kClrDtr:
      value = comport::kDtrOff;
      break;
    case LineSignal::kSetBreak:
      value = comport::kBreakOn;
      break;
    case LineSignal::kClrBreak:
      value = comport::kBreakOff;
      break;
    default:
      return false;
  }
  *request = comPortRequest(comport::kSetControl, value);
  return true;
}
