#include "serial/network/com_port_session.h"

#include <gtest/gtest.h>

#include <string>

#include "testing/bytes.h"

using namespace telnet;

namespace {

std::string answer(uint8_t command, uint8_t value) {
  return bytes({255, 250, 44, command + comport::kServerOffset, value, 255, 240});
}

std::string rateAnswer(uint32_t rate) {
  return bytes({255, 250, 44, 101, int(rate >> 24), int(rate >> 16 & 255), int(rate >> 8 & 255),
                int(rate & 255), 255, 240});
}

// A session fed through a decoder, as the network line feeds it.
struct Client {
  explicit Client(LineSettings settings) : session(settings) {}

  // Feeds what the server sends; returns what the client has to send.
  std::string receive(const std::string& stream) {
    std::string buffer = stream;
    decoder.decode(reinterpret_cast<uint8_t*>(buffer.data()), buffer.size(), session);
    return take();
  }
  std::string take() {
    std::string out = session.output();
    session.output().clear();
    return out;
  }

  ComPortSession session;
  Decoder decoder;
};

constexpr Parity kNoParity = Parity::kNone;
constexpr StopBits kOneStop = StopBits::kOne;
constexpr ModemLines kLinesHigh = ModemLines::kHigh;

LineSettings settings(int32_t rate, Parity parity, StopBits stop, ModemLines lines) {
  LineSettings s;
  s.baudRate = rate;
  s.parity = parity;
  s.stopBits = stop;
  s.modemLines = lines;
  return s;
}

// What the server answers when it takes every setting of `s`.
std::string takenAnswers(const LineSettings& s) {
  const uint8_t parity = s.parity == Parity::kOdd    ? comport::kParityOdd
                         : s.parity == Parity::kEven ? comport::kParityEven
                                                     : comport::kParityNone;
  return rateAnswer(static_cast<uint32_t>(s.baudRate)) + answer(comport::kSetDataSize, 8) +
         answer(comport::kSetParity, parity) +
         answer(comport::kSetStopSize, s.stopBits == StopBits::kTwo ? 2 : 1);
}

const std::string kAgree = bytes({255, 253, 44});

}  // namespace

TEST(ComPortSession, AsksForBinaryAndOption44ThenTheSettings) {
  Client client(settings(115200, Parity::kOdd, StopBits::kTwo, kLinesHigh));
  EXPECT_EQ(client.take(), bytes({255, 251, 0, 255, 251, 44, 255, 253, 0}));
  EXPECT_EQ(client.session.phase(), ComPortSession::Phase::kNegotiating);

  // Answers before the agreement are no answers to anything.
  EXPECT_EQ(client.receive(answer(comport::kSetDataSize, 7)), "");
  EXPECT_EQ(client.session.phase(), ComPortSession::Phase::kNegotiating);

  EXPECT_EQ(client.receive(bytes({255, 253, 0, 255, 251, 0}) + kAgree),
            setBaudRateRequest(115200) + comPortRequest(comport::kSetDataSize, 8) +
                comPortRequest(comport::kSetParity, comport::kParityOdd) +
                comPortRequest(comport::kSetStopSize, comport::kStopTwo) +
                comPortRequest(comport::kSetControl, comport::kFlowNone) +
                comPortRequest(comport::kSetControl, comport::kDtrOn) +
                comPortRequest(comport::kSetControl, comport::kRtsOn) +
                comPortRequest(comport::kPurgeData, comport::kPurgeBoth));
  EXPECT_EQ(client.session.phase(), ComPortSession::Phase::kConfiguring);

  // SET-CONTROL answers, whatever they say, decide nothing.
  client.receive(answer(comport::kSetControl, comport::kDtrOff) +
                 takenAnswers(settings(115200, Parity::kOdd, StopBits::kTwo, kLinesHigh)));
  EXPECT_EQ(client.session.phase(), ComPortSession::Phase::kReady);
  EXPECT_EQ(client.session.takeAnswers().size(), 6u);  // every answer, for the trace
}

// DTR and RTS follow the flow control as on a local line.
TEST(ComPortSession, ControlRequestsFollowTheFlowControl) {
  struct {
    ModemLines lines;
    std::string controls;
  } cases[] = {
      {ModemLines::kLow, comPortRequest(comport::kSetControl, comport::kFlowNone) +
                             comPortRequest(comport::kSetControl, comport::kDtrOff) +
                             comPortRequest(comport::kSetControl, comport::kRtsOff)},
      {ModemLines::kHandshake, comPortRequest(comport::kSetControl, comport::kFlowHardware) +
                                   comPortRequest(comport::kSetControl, comport::kDtrOn)},
      {ModemLines::kHigh, comPortRequest(comport::kSetControl, comport::kFlowNone) +
                              comPortRequest(comport::kSetControl, comport::kDtrOn) +
                              comPortRequest(comport::kSetControl, comport::kRtsOn)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.lines));
    Client client(settings(9600, kNoParity, kOneStop, c.lines));
    client.take();
    std::string sent = client.receive(kAgree);
    const std::string settingsPart = setBaudRateRequest(9600) +
                                     comPortRequest(comport::kSetDataSize, 8) +
                                     comPortRequest(comport::kSetParity, comport::kParityNone) +
                                     comPortRequest(comport::kSetStopSize, comport::kStopOne);
    EXPECT_EQ(sent,
              settingsPart + c.controls + comPortRequest(comport::kPurgeData, comport::kPurgeBoth));
  }
}

// Any checked setting answered with another value refuses the opening; a
// rate within 2% is the rate asked for, as a UART makes it.
TEST(ComPortSession, AnswersOtherThanAskedRefuse) {
  const LineSettings asked = settings(115200, Parity::kEven, kOneStop, kLinesHigh);
  struct {
    const char* name;
    std::string answers;
    ComPortSession::Phase phase;
  } cases[] = {
      {"all taken", takenAnswers(asked), ComPortSession::Phase::kReady},
      {"rate 1% off", rateAnswer(116352) + takenAnswers(asked).substr(10),
       ComPortSession::Phase::kReady},
      {"rate 3% off", rateAnswer(118800) + takenAnswers(asked).substr(10),
       ComPortSession::Phase::kRefused},
      {"other rate", rateAnswer(9600), ComPortSession::Phase::kRefused},
      {"seven bits", answer(comport::kSetDataSize, 7), ComPortSession::Phase::kRefused},
      {"odd parity", answer(comport::kSetParity, comport::kParityOdd),
       ComPortSession::Phase::kRefused},
      {"two stop bits", answer(comport::kSetStopSize, comport::kStopTwo),
       ComPortSession::Phase::kRefused},
      {"three of four answered", takenAnswers(asked).substr(10),
       ComPortSession::Phase::kConfiguring},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(asked);
    client.receive(kAgree);
    client.receive(c.answers);
    EXPECT_EQ(client.session.phase(), c.phase);
    if (c.phase == ComPortSession::Phase::kRefused) {
      EXPECT_NE(client.session.refusal(), "");
    }
  }
}

TEST(ComPortSession, ServerRefusingOption44RefusesTheOpening) {
  Client client(settings(9600, kNoParity, kOneStop, kLinesHigh));
  client.take();
  // Binary refused is no reason to give up; option 44 refused is.
  EXPECT_EQ(client.receive(bytes({255, 254, 0, 255, 252, 0})), "");
  EXPECT_EQ(client.session.phase(), ComPortSession::Phase::kNegotiating);
  EXPECT_EQ(client.receive(bytes({255, 254, 44})), "");
  EXPECT_EQ(client.session.phase(), ComPortSession::Phase::kRefused);
  EXPECT_EQ(client.session.refusal(), "the server refused option 44");
}

// Requests are answered only when they change an option, so a server
// repeating itself never starts a loop; unknown options are declined.
TEST(ComPortSession, NegotiationNeverLoops) {
  Client client(settings(9600, kNoParity, kOneStop, kLinesHigh));
  client.take();
  struct {
    const char* name;
    std::string received;
    std::string reply;
  } steps[] = {
      {"agreement to our own requests", bytes({255, 253, 0, 255, 251, 0}), ""},
      {"repeated agreement", bytes({255, 253, 0, 255, 251, 0}), ""},
      {"server offers to suppress go-ahead", bytes({255, 251, 3}), bytes({255, 253, 3})},
      {"offered again", bytes({255, 251, 3}), ""},
      {"server offers to echo", bytes({255, 251, 1}), bytes({255, 254, 1})},
      {"server asks us to echo", bytes({255, 253, 1}), bytes({255, 252, 1})},
      {"server switches binary off", bytes({255, 254, 0}), bytes({255, 252, 0})},
      {"and off again", bytes({255, 254, 0}), ""},
      {"and on again", bytes({255, 253, 0}), bytes({255, 251, 0})},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(client.receive(step.received), step.reply);
  }
}

TEST(ComPortSession, SignalRequests) {
  struct {
    LineSignal signal;
    bool possible;
    uint8_t value;
  } cases[] = {
      {LineSignal::kSetXoff, false, 0},
      {LineSignal::kSetXon, false, 0},
      {LineSignal::kSetRts, true, comport::kRtsOn},
      {LineSignal::kClrRts, true, comport::kRtsOff},
      {LineSignal::kSetDtr, true, comport::kDtrOn},
      {LineSignal::kClrDtr, true, comport::kDtrOff},
      {LineSignal::kResetDevice, false, 0},
      {LineSignal::kSetBreak, true, comport::kBreakOn},
      {LineSignal::kClrBreak, true, comport::kBreakOff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.signal));
    std::string request;
    ASSERT_EQ(comPortSignalRequest(c.signal, &request), c.possible);
    if (c.possible) {
      EXPECT_EQ(request, comPortRequest(comport::kSetControl, c.value));
    }
  }
}
