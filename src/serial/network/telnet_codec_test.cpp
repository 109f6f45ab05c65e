#include "serial/network/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/bytes.h"

using namespace telnet;

namespace {

// Writes every command it is handed as text, so that a whole decode can be
// compared as one string.
struct Trace : Decoder::Listener {
  std::string events;
  void negotiation(uint8_t verb, uint8_t option) override {
    events += "[" + std::to_string(verb) + " " + std::to_string(option) + "]";
  }
  void subnegotiation(uint8_t option, const uint8_t* payload, size_t length) override {
    events += "{" + std::to_string(option) + ":";
    for (size_t i = 0; i < length; ++i) events += " " + std::to_string(payload[i]);
    events += "}";
  }
};

struct Decoded {
  std::string data;
  std::string events;
};

// Decodes `stream` cut into pieces of `piece` bytes (0: whole).
Decoded decodeInPieces(const std::string& stream, size_t piece) {
  Decoder decoder;
  Trace trace;
  Decoded result;
  std::string buffer = stream;
  size_t at = 0;
  do {
    size_t n = piece == 0 ? buffer.size() - at : std::min(piece, buffer.size() - at);
    auto* start = reinterpret_cast<uint8_t*>(buffer.data() + at);
    result.data.append(reinterpret_cast<char*>(start), decoder.decode(start, n, trace));
    at += n;
  } while (at < buffer.size());
  result.events = trace.events;
  return result;
}

struct DecodeCase {
  const char* name;
  std::string stream;
  std::string data;
  std::string events;
};

std::vector<DecodeCase> decodeCases() {
  return {
      {"plain text", "boot ok\r\n", "boot ok\r\n", ""},
      {"doubled IAC is one data byte", bytes({'a', 255, 255, 'b', 255, 255}),
       bytes({'a', 255, 'b', 255}), ""},
      {"negotiations consumed", "x" + bytes({255, 251, 0, 255, 253, 44}) + "y", "xy",
       "[251 0][253 44]"},
      {"answer with doubled IAC inside",
       bytes({255, 250, 44, 101, 0, 0, 0, 255, 255, 255, 240}) + "z", "z", "{44: 101 0 0 0 255}"},
      {"two-byte commands consumed", bytes({'a', 255, 241, 'b', 255, 249, 'c', 255, 240}), "abc",
       ""},
      {"command breaks off a subnegotiation",
       bytes({255, 250, 44, 101, 255, 251, 3}) + "q" + bytes({255, 240}), "q", "[251 3]"},
      {"doubled IAC stays inside a subnegotiation",
       bytes({255, 250, 44, 1, 255, 255, 'k', 255, 240}) + "m", "m", "{44: 1 255 107}"},
      {"empty subnegotiation", bytes({255, 250, 44, 255, 240}) + "e", "e", "{44:}"},
  };
}

}  // namespace

// Every case decodes the same whole, cut at every length, and byte by byte:
// a command split across reads is never taken for data.
TEST(TelnetDecoder, DataAndCommandsWhateverTheCuts) {
  for (const DecodeCase& c : decodeCases()) {
    for (size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}}) {
      SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
      Decoded d = decodeInPieces(c.stream, piece);
      EXPECT_EQ(d.data, c.data);
      EXPECT_EQ(d.events, c.events);
    }
  }
}

// A subnegotiation that never ends costs nothing and hides no later data.
TEST(TelnetDecoder, EndlessSubnegotiationIsDroppedWhole) {
  std::string stream = bytes({255, 250, 44});
  stream += std::string(1 << 20, 'x');
  stream += bytes({255, 240}) + "after";
  for (size_t piece : {size_t{0}, size_t{4096}}) {
    Decoded d = decodeInPieces(stream, piece);
    EXPECT_EQ(d.data, "after");
    EXPECT_EQ(d.events, "");
  }
  // The longest kept one still arrives whole.
  std::string fits =
      bytes({255, 250, 44}) + std::string(Decoder::kMaxSubnegotiation, 'y') + bytes({255, 240});
  std::string whole = "{44:";
  for (size_t i = 0; i < Decoder::kMaxSubnegotiation; ++i) whole += " 121";
  EXPECT_EQ(decodeInPieces(fits, 7).events, whole + "}");
}

TEST(TelnetDecoder, KnowsWhenTheStreamStopsMidCommand) {
  Decoder decoder;
  Trace trace;
  uint8_t part[] = {'a', 255, 250, 44};
  EXPECT_EQ(decoder.decode(part, sizeof part, trace), 1u);
  EXPECT_TRUE(decoder.midCommand());
  uint8_t end[] = {255, 240};
  decoder.decode(end, sizeof end, trace);
  EXPECT_FALSE(decoder.midCommand());
}

TEST(TelnetEncoder, DoublesEveryIac) {
  struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"abc", "abc"},
      {bytes({255}), bytes({255, 255})},
      {bytes({255, 255, 'x', 255}), bytes({255, 255, 255, 255, 'x', 255, 255})},
  };
  for (const auto& c : cases) {
    std::string out = ">";
    appendEscaped(out, reinterpret_cast<const uint8_t*>(c.in.data()), c.in.size());
    EXPECT_EQ(out, ">" + c.out);
  }
}

TEST(TelnetEncoder, ComPortRequests) {
  EXPECT_EQ(setBaudRateRequest(115200), bytes({255, 250, 44, 1, 0, 1, 194, 0, 255, 240}));
  // A rate byte of 0xFF is doubled inside the subnegotiation.
  EXPECT_EQ(setBaudRateRequest(0x1FF), bytes({255, 250, 44, 1, 0, 0, 1, 255, 255, 255, 240}));
  EXPECT_EQ(comPortRequest(comport::kSetParity, comport::kParityEven),
            bytes({255, 250, 44, 3, 3, 255, 240}));
  EXPECT_EQ(negotiationBytes(kWill, kOptionComPort), bytes({255, 251, 44}));
}

TEST(TelnetEncoder, ParsesOnlyWellFormedServerAnswers) {
  struct {
    const char* name;
    std::string payload;
    bool ok;
    uint8_t command;
    uint32_t value;
  } cases[] = {
      {"rate", bytes({101, 0, 1, 194, 0}), true, comport::kSetBaudRate, 115200},
      {"parity", bytes({103, 2}), true, comport::kSetParity, 2},
      {"control", bytes({105, 8}), true, comport::kSetControl, 8},
      {"client command", bytes({3, 2}), false, 0, 0},
      {"rate too short", bytes({101, 0, 1}), false, 0, 0},
      {"one-byte value too long", bytes({102, 8, 8}), false, 0, 0},
      {"no value", bytes({102}), false, 0, 0},
      {"empty", "", false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ComPortAnswer answer;
    ASSERT_EQ(parseComPortAnswer(reinterpret_cast<const uint8_t*>(c.payload.data()),
                                 c.payload.size(), &answer),
              c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(answer.command, c.command);
    EXPECT_EQ(answer.value, c.value);
  }
}
