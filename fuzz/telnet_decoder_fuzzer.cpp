// Fuzzes the telnet decoder and the RFC 2217 opening with what a server may
// send. The first byte chooses how the stream is cut into reads; the rest is
// the stream. Decoded read by read, it must give exactly what a plain
// byte-at-a-time reference model gives for the whole stream (data and
// commands), never more data than it was given, and the session fed with it
// must answer with a bounded number of bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/network/com_port_session.h"
#include "serial/network/telnet_codec.h"

namespace {

using namespace telnet;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  std::abort();
}

// Commands as text, in the order they complete.
struct Trace : Decoder::Listener {
  std::string events;
  void negotiation(uint8_t verb, uint8_t option) override {
    events += 'N';
    events += static_cast<char>(verb);
    events += static_cast<char>(option);
  }
  void subnegotiation(uint8_t option, const uint8_t* payload, size_t length) override {
    check(length <= Decoder::kMaxSubnegotiation, "subnegotiation within its bound");
    events += 'S';
    events += static_cast<char>(option);
    events += std::to_string(length);
    events += ':';
    events.append(reinterpret_cast<const char*>(payload), length);
  }
};

// The telnet rules one byte at a time, with no fast path.
struct Reference {
  std::string data;
  Trace trace;

  void run(const uint8_t* s, size_t n) {
    enum { kData, kCommand, kOption, kSubOption, kSubData, kSubIac } state = kData;
    uint8_t verb = 0, option = 0;
    std::string sub;
    auto command = [&](uint8_t b) {
      state = kData;
      if (b == kIac) {
        data.push_back(static_cast<char>(kIac));
      } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
        verb = b;
        state = kOption;
      } else if (b == kSb) {
        state = kSubOption;
      }
    };
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = s[i];
      switch (state) {
        case kData:
          if (b == kIac) {
            state = kCommand;
          } else {
            data.push_back(static_cast<char>(b));
          }
          break;
        case kCommand:
          command(b);
          break;
        case kOption:
          state = kData;
          trace.negotiation(verb, b);
          break;
        case kSubOption:
          option = b;
          sub.clear();
          state = kSubData;
          break;
        case kSubData:
          if (b == kIac) {
            state = kSubIac;
          } else {
            sub.push_back(static_cast<char>(b));
          }
          break;
        case kSubIac:
          if (b == kIac) {
            sub.push_back(static_cast<char>(kIac));
            state = kSubData;
          } else if (b == kSe) {
            state = kData;
            if (sub.size() <= Decoder::kMaxSubnegotiation) {
              trace.subnegotiation(option, reinterpret_cast<const uint8_t*>(sub.data()),
                                   sub.size());
            }
          } else {
            command(b);
          }
          break;
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 1) return 0;
  const size_t piece = input[0] == 0 ? size : input[0];
  const uint8_t* stream = input + 1;
  const size_t length = size - 1;

  Reference reference;
  reference.run(stream, length);

  LineSettings settings;
  settings.baudRate = 115200;
  ComPortSession session(settings);
  const size_t opening = session.output().size();
  session.output().clear();

  Decoder decoder;
  Decoder sessionDecoder;
  Trace trace;
  std::string data;
  std::vector<uint8_t> buffer(stream, stream + length);
  std::vector<uint8_t> copy(buffer);
  for (size_t at = 0; at < length; at += piece) {
    const size_t n = piece < length - at ? piece : length - at;
    const size_t kept = decoder.decode(buffer.data() + at, n, trace);
    check(kept <= n, "no more data than received");
    data.append(reinterpret_cast<const char*>(buffer.data() + at), kept);
    sessionDecoder.decode(copy.data() + at, n, session);
  }
  check(data == reference.data, "data as the reference model");
  check(trace.events == reference.trace.events, "commands as the reference model");
  // Replies are at most one per received command, plus the settings once.
  check(session.output().size() <= opening + 200 + length, "session output bounded");
  session.takeAnswers();
  return 0;
}
