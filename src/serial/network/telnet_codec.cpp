// The telnet stream decoder and the request builders of telnet_codec.h.
#include "serial/network/telnet_codec.h"

#include <cstring>

namespace telnet {

size_t Decoder::decode(uint8_t* bytes, size_t length, Listener& listener) {
  size_t in = 0;
  size_t out = 0;
  while (in < length) {
    if (state_ == State::kData) {
      // Runs of plain data move as a block: most streams hold no IAC at all.
      const void* iac = std::memchr(bytes + in, kIac, length - in);
      const size_t run =
          (iac != nullptr ? static_cast<const uint8_t*>(iac) : bytes + length) - (bytes + in);
      if (out != in) std::memmove(bytes + out, bytes + in, run);
      out += run;
      in += run;
      if (in == length) break;
      state_ = State::kCommand;
      ++in;
      continue;
    }
    const uint8_t byte = bytes[in++];
    switch (state_) {
      case State::kCommand:
        if (command(byte)) bytes[out++] = kIac;
        break;
      case State::kOption:
        state_ = State::kData;
        listener.negotiation(verb_, byte);
        break;
      case State::kSubOption:
        subOption_ = byte;
        subLength_ = 0;
        subTooLong_ = false;
        state_ = State::kSubData;
        break;
      case State::kSubData:
        if (byte == kIac) {
          state_ = State::kSubIac;
        } else {
          subData(byte);
        }
        break;
      case State::kSubIac:
        if (byte == kIac) {
          subData(kIac);
          state_ = State::kSubData;
        } else if (byte == kSe) {
          state_ = State::kData;
          if (!subTooLong_) listener.subnegotiation(subOption_, sub_, subLength_);
        } else {
          // A command inside a subnegotiation breaks it off: the command is
          // taken, the unfinished subnegotiation dropped.
          if (command(byte)) bytes[out++] = kIac;
        }
        break;
      case State::kData:
        break;
    }
  }
  return out;
}

bool Decoder::command(uint8_t byte) {
  switch (byte) {
    case kIac:
      state_ = State::kData;
      return true;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = byte;
      state_ = State::kOption;
      return false;
    case kSb:
      state_ = State::kSubOption;
      return false;
    default:
      // NOP, go-ahead, data mark, a stray SE and the rest mean nothing to a
      // capture.
      state_ = State::kData;
      return false;
  }
}

void Decoder::subData(uint8_t byte) {
  if (subLength_ == kMaxSubnegotiation) {
    subTooLong_ = true;
    return;
  }
  sub_[subLength_++] = byte;
}

void appendEscaped(std::string& out, const uint8_t* data, size_t length) {
  size_t at = 0;
  while (at < length) {
    const void* iac = std::memchr(data + at, kIac, length - at);
    const size_t end = iac != nullptr ? static_cast<const uint8_t*>(iac) - data + 1 : length;
    out.append(reinterpret_cast<const char*>(data + at), end - at);
    if (iac != nullptr) out.push_back(static_cast<char>(kIac));
    at = end;
  }
}

std::string negotiationBytes(uint8_t verb, uint8_t option) {
  return std::string{static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string comPortRequest(uint8_t command, const uint8_t* value, size_t length) {
  std::string out{static_cast<char>(kIac), static_cast<char>(kSb),
                  static_cast<char>(kOptionComPort), static_cast<char>(command)};
  appendEscaped(out, value, length);
  out.push_back(static_cast<char>(kIac));
  out.push_back(static_cast<char>(kSe));
  return out;
}

std::string comPortRequest(uint8_t command, uint8_t value) {
  return comPortRequest(command, &value, 1);
}

std::string setBaudRateRequest(uint32_t rate) {
  const uint8_t value[4] = {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                            static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
  return comPortRequest(comport::kSetBaudRate, value, sizeof value);
}

bool parseComPortAnswer(const uint8_t* payload, size_t length, ComPortAnswer* answer) {
  if (length < 2 || payload[0] <= comport::kServerOffset) return false;
  const uint8_t command = payload[0] - comport::kServerOffset;
  const size_t valueLength = command == comport::kSetBaudRate ? 4 : 1;
  if (length != 1 + valueLength) return false;
  uint32_t value = 0;
  for (size_t i = 1; i < length; ++i) value = value << 8 | payload[i];
  answer->command = command;
  answer->value = value;
  return true;
}

}  // namespace telnet
