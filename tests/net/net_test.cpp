// Network ports: sercap against a real ser2net serving a pseudo-terminal,
// and against a fake server for the refusals ser2net never makes.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "fake_com_port_server.h"
#include "line_rate.h"
#include "ser2net_server.h"
#include "sercap_test.h"
#include "serial/network/deadline_call.h"

namespace {

using namespace std::chrono_literals;

// Whole-program runs against a network port.
using NetworkRunTest = SercapTest;

// Servers played by the test itself, for what ser2net never does.
using PlayedServerTest = NetworkRunTest;

class NetTest : public NetworkRunTest {
 protected:
  void SetUp() override {
    if (Ser2net::binary().empty()) GTEST_SKIP() << "ser2net is not installed";
  }
};

// Every byte but the in-band controls, 0xFF and telnet commands among them,
// some 40 KiB of it.
std::string everyByte() {
  std::string text;
  for (int round = 0; round < 160; ++round) {
    for (int b = 0; b < 256; ++b) {
      if (b != 0x19 && b != 0x1A) text.push_back(static_cast<char>(b));
    }
  }
  return text;
}

std::string urlFor(const Ser2net& server, bool rfc2217) {
  return rfc2217 ? server.rfc2217Url() : server.tcpUrl();
}

TEST_F(NetTest, CapturesByteExactUntilCtrlZ) {
  for (bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    PtyDevice device;
    Ser2net server(device.slavePath());
    const std::string file = rfc2217 ? "rfc.spt" : "tcp.spt";
    auto run = startOn(device, urlFor(server, rfc2217),
                       {"-ntx", "1", "-filteroff", "-f", file, "-t", "20"});
    ASSERT_NE(run, nullptr);
    const std::string text = everyByte() + "end\n";
    ASSERT_TRUE(device.send(text + "\x1a\n"));
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(workFile(file) == crlf(text)) << "capture differs";
  }
}

// What sercap asks for arrives at the device's termios through ser2net. A
// pseudo-terminal never shows even parity (the kernel clears PARENB), so odd
// parity is asked for and PARODD looked at.
TEST_F(NetTest, LineSettingsArriveAtTheDevice) {
  struct {
    std::vector<std::string> args;
    uint32_t rate;
    bool odd, twoStops;
  } cases[] = {
      {{"-ntx", "1", "-r", "115200", "-po", "-s", "2"}, 115200, true, true},
      {{"-ntx", "1", "-r", "19200"}, 19200, false, false},
  };
  for (const auto& c : cases) {
    PtyDevice device;
    Ser2net server(device.slavePath());
    auto run = startOn(device, server.rfc2217Url(), c.args);
    ASSERT_NE(run, nullptr);
    termios mode{};
    ASSERT_EQ(tcgetattr(device.slaveFd(), &mode), 0);
    EXPECT_EQ(lineOutputRate(device.slaveFd()), c.rate);
    EXPECT_EQ((mode.c_cflag & PARODD) != 0, c.odd);
    EXPECT_EQ((mode.c_cflag & CSTOPB) != 0, c.twoStops);
    EXPECT_EQ(mode.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    ASSERT_TRUE(device.send("\x1a\n"));
    EXPECT_EQ(finish(*run).status, 0);
  }
}

// A server that keeps another rate, never answers or refuses option 44 has
// refused the line settings.
TEST_F(NetTest, SettingsNotTakenAreRefused) {
  using B = FakeComPortServer::Behaviour;
  for (B behaviour : {B::kOtherRate, B::kSilent, B::kRefusesOption}) {
    SCOPED_TRACE(static_cast<int>(behaviour));
    FakeComPortServer server(behaviour);
    auto run = start({server.url(), "-r", "115200", "-t", "30"});
    ProgramResult result = finish(*run, 20s);
    EXPECT_EQ(result.status, 8);
    EXPECT_NE(result.out.find("\n>>>SetCommState error : 22\n"), std::string::npos) << result.out;
    EXPECT_LT(result.seconds, 10);
  }
}

// Transmitted text reaches the device as it was given, 0xFF included.
TEST_F(NetTest, TransmissionsArriveAtTheDevice) {
  // Wine hands the command line over as UTF-16: a lone 0xFF is no character.
  const std::string text = underWine() ? "AB^"
                                       : "A\xff"
                                         "B\xff";
  for (bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    PtyDevice device;
    Ser2net server(device.slavePath());
    auto run = start({urlFor(server, rfc2217), "-tx", text, "-ntx", "2", "-t", "20"});
    EXPECT_EQ(device.receive(2 * text.size(), 20s), text + text);
    ASSERT_TRUE(device.send("\x1a\n"));
    EXPECT_EQ(finish(*run).status, 0);
  }
}

// A prompt without a line feed is read as it arrives over the network too,
// and the answer reaches the device whole: 0xFF escaped for telnet, given
// as an escape so that any console can type it.
TEST_F(NetTest, APromptIsAnsweredAndTheLoginPromptEndsTheRun) {
  for (bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    PtyDevice device;
    Ser2net server(device.slavePath());
    const std::string file = rfc2217 ? "rfc.spt" : "tcp.spt";
    auto run = startOn(device, urlFor(server, rfc2217),
                       {"-ntx", "1", "-f", file, "-t", "20", "--expect", "key:", "--send",
                        "\\xff\\r", "--end-on", "login:"});
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(device.send("press a key:"));
    EXPECT_EQ(device.receive(2, 20s), "\xff\r");
    ASSERT_TRUE(device.send("\r\nlogin: "));
    EXPECT_EQ(finish(*run).status, 0);
    EXPECT_EQ(workFile(file), "press a key:\r\nlogin:\r\n");
  }
}

// A server that goes away ends the run as a line failure, with everything
// received before kept.
TEST_F(NetTest, ServerStoppedMidCaptureIsALineFailure) {
  for (bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    PtyDevice device;
    Ser2net server(device.slavePath());
    auto run = startOn(device, urlFor(server, rfc2217), {"-ntx", "1", "-f", "cap.spt", "-t", "20"});
    ASSERT_NE(run, nullptr);
    // Ctrl-Y flushes the capture file, so the line shows there before the end.
    ASSERT_TRUE(device.send("first line\n\x19second"));
    ASSERT_TRUE(awaitWorkFile("cap.spt", "first line\r\n", 20s).starts_with("first line\r\n"));
    server.stop();
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 32) << result.out;
    EXPECT_EQ(workFile("cap.spt"), "first line\r\nsecond");
  }
}

// With --reconnect, a server that goes away is waited for, its connection
// refused meanwhile, and the capture goes on into the same file once it is
// back, as it does for an adapter unplugged and plugged in again.
TEST_F(NetTest, ReconnectWaitsForARestartedServer) {
  for (bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    const std::string file = rfc2217 ? "rfc2217.spt" : "tcp.spt";
    PtyDevice device;
    Ser2net server(device.slavePath());
    const std::string url = urlFor(server, rfc2217);
    auto run = start({url, "--reconnect", "-ntx", "2", "-t", "30", "-f", file});
    ASSERT_TRUE(awaitTransmission(device, *run));
    ASSERT_TRUE(device.send("one\npart"));
    ASSERT_TRUE(awaitWorkFile(file, "one\r\npart", 20s).starts_with("one\r\npart"));
    server.stop();
    ASSERT_TRUE(awaitOutput(*run, "\n>>>port " + url + " lost, error : ")) << run->outputSoFar();
    // Refused for more than a pass before the server is back.
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(run->running()) << run->outputSoFar();
    server.restart();
    ASSERT_TRUE(awaitOutput(*run, "\n>>>port " + url + " back\n")) << run->outputSoFar();
    // The second transmission, through the new connection, shows the line through.
    ASSERT_TRUE(awaitTransmission(device, *run));
    ASSERT_TRUE(device.send("ial\ntwo\n\x1a\n"));
    ProgramResult result = finish(*run);

    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(workFile(file), "one\r\npartial\r\ntwo\r\n");
  }
}

// A server whose machine stops answering once the connection is lost:
// each try to reach it again ends within a second, so the supervisor's
// passes keep their pace and the time-out ends the run on time (as a line
// failure, the port being away), not a connect limit per pass later.
using SilentServerTest = SercapTest;

TEST_F(SilentServerTest, TriesToReachItAgainKeepThePassesPace) {
  // A queue of one: once it holds a connection never accepted, the server
  // answers no further one.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  auto run = start({url, "--reconnect", "-t", "3", "-f", "cap.spt"});
  pollfd waiting = {listener, POLLIN, 0};
  ASSERT_EQ(::poll(&waiting, 1, 20000), 1) << run->outputSoFar();
  const int client = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(client, 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(::send(client, "one\n", 4, 0), 4);
  const auto lost = std::chrono::steady_clock::now();
  ::close(client);
  ProgramResult result = finish(*run);
  const auto afterLoss = std::chrono::steady_clock::now() - lost;
  ::close(filler);
  ::close(listener);

  EXPECT_EQ(result.status, 32) << result.out;
  EXPECT_NE(result.out.find("\n>>>port " + url + " lost, error : "), std::string::npos)
      << result.out;
  EXPECT_EQ(workFile("cap.spt"), "one\r\n");
  // Three passes of about a second; a try held to the connect limit would
  // make each of them five.
  EXPECT_LT(afterLoss, 9s);
}

// A server that sends commands without end, faster than they are decoded,
// holds neither the time-out, nor the deadline, nor a signal, and the line
// it sent before the flood is in the file.
TEST_F(PlayedServerTest, FloodOfCommandsHoldsNoEnd) {
  using B = FakeComPortServer::Behaviour;
  const struct {
    const char* name;
    B behaviour;
    std::vector<std::string> args;
    int signalNumber;  // sent once the line is in the file; 0 none
    int status;
  } cases[] = {
      {"requests, time-out", B::kFloodsRequests, {"-t", "1"}, 0, 0},
      {"subnegotiation, time-out", B::kFloodsSubnegotiation, {"-t", "1"}, 0, 0},
      {"requests, deadline", B::kFloodsRequests, {"-t", "-1", "--max-time", "3"}, 0, 0},
      {"subnegotiation, signal",
       B::kFloodsSubnegotiation,
       {"-t", "-1"},
       SIGINT,
       interruptedStatus()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeComPortServer server(c.behaviour);
    std::vector<std::string> args = {server.url(), "-f", "out.spt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto run = start(args);
    if (c.signalNumber != 0) {
      ASSERT_TRUE(awaitWorkFile("out.spt", "before\r\n", 20s).starts_with("before\r\n"));
      run->signal(c.signalNumber);
    }
    // The flood lasts as long as the connection: a run it held would never end.
    ProgramResult result = finish(*run, 30s);
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(result.status, c.status) << result.out;
    EXPECT_EQ(workFile("out.spt"), "before\r\n");
    std::filesystem::remove(work().file("out.spt"));
  }
}

// What the server sends in the segment of its last answer is data of the run.
TEST_F(PlayedServerTest, DataWithTheLastAnswerIsCaptured) {
  FakeComPortServer server(FakeComPortServer::Behaviour::kDataWithLastAnswer);
  auto run = start({server.url(), "-t", "5", "-f", "out.spt"});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(result.out, "\n");
  EXPECT_EQ(workFile("out.spt"), "first\r\n");
}

// A rate of 0 is the protocol's question for the server's rate, and a
// negative one would go out as a huge one: both are refused as a local port
// refuses them, before anything is sent.
TEST_F(PlayedServerTest, RateOfZeroOrLessIsRefusedBeforeAnythingIsSent) {
  for (const char* rate : {"0", "-5"}) {
    SCOPED_TRACE(rate);
    FakeComPortServer server(FakeComPortServer::Behaviour::kOtherRate);
    ProgramResult result = finish(*start({server.url(), "-r", rate, "-t", "5"}));
    EXPECT_EQ(result.status, 8);
    EXPECT_NE(result.out.find("\n>>>SetCommState error : 22\n"), std::string::npos) << result.out;
    EXPECT_EQ(server.received(), "");
  }
}

// FLOWCONTROL-SUSPEND holds what sercap sends until FLOWCONTROL-RESUME; the
// transmissions due meanwhile wait, and -d shows both.
TEST_F(PlayedServerTest, SuspendedOutputWaitsForResume) {
  FakeComPortServer server(FakeComPortServer::Behaviour::kSuspends);
  auto run = start({server.url(), "-tx", "X", "-ntx", "-1", "-t", "30", "-d", "-f", "out.spt"});
  ASSERT_TRUE(awaitWorkFile("out.spt", "held\r\n", 20s).starts_with("held\r\n"));
  // Long enough for two passes, each with its transmission.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(server.data(), "") << "sent while suspended";
  server.resume();
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(server.data().substr(0, 1), "X");
  const size_t suspended = result.out.find("\n>>>server suspended the output\n");
  EXPECT_NE(suspended, std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\n>>>server resumed the output\n", suspended), std::string::npos)
      << result.out;
}

// A host name that does not exist is a missing port (error 2), not an
// unreachable host.
TEST_F(PlayedServerTest, UnknownHostIsAMissingPort) {
  const std::string host = "no-such-host.invalid";
  // The name is unknown wherever a resolver answers at all; one that does not
  // answer here shows nothing about sercap.
  auto answer = std::make_shared<int>(EAI_AGAIN);
  const bool answered = callBefore(
      std::chrono::steady_clock::now() + 10s,
      [answer, host] {
        addrinfo* found = nullptr;
        *answer = ::getaddrinfo(host.c_str(), "2217", nullptr, &found);
        if (found != nullptr) ::freeaddrinfo(found);
      },
      [] {});
  if (!answered || (*answer != EAI_NONAME && *answer != EAI_NODATA)) {
    GTEST_SKIP() << "no resolver here says that " << host << " does not exist";
  }
  const std::string url = "rfc2217://" + host + ":2217";
  ProgramResult result = finish(*start({url, "-t", "5"}));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out.rfind("\n>>>open com " + url + " error : 2\n", 0), 0u) << result.out;
}

TEST_F(NetTest, ConnectionRefusedIsAnOpenFailure) {
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(freeLocalPort());
  auto run = start({url, "-t", "5"});
  ProgramResult result = finish(*run);
  EXPECT_EQ(result.status, 1);
  const int refused = underWine() ? 10061 : 111;
  EXPECT_EQ(
      result.out.rfind("\n>>>open com " + url + " error : " + std::to_string(refused) + "\n", 0),
      0u)
      << result.out;
}

// ser2net serves one client: a second is refused as a held port, and the
// first one's capture goes on.
TEST_F(NetTest, SecondClientFindsThePortHeld) {
  PtyDevice device;
  Ser2net server(device.slavePath());
  auto first = startOn(device, server.rfc2217Url(), {"-ntx", "1", "-f", "first.spt", "-t", "20"});
  ASSERT_NE(first, nullptr);
  auto second = start({server.rfc2217Url(), "-f", "second.spt", "-t", "20"});
  ProgramResult refused = finish(*second);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("\n>>>open com " + server.rfc2217Url() + " error : 16\n"),
            std::string::npos)
      << refused.out;
  EXPECT_EQ(workFile("second.spt"), "");

  ASSERT_TRUE(device.send("still here\n\x1a\n"));
  EXPECT_EQ(finish(*first).status, 0);
  EXPECT_EQ(workFile("first.spt"), "still here\r\n");
}

// Signals go through SET-CONTROL; what the protocol cannot say fails with
// error 95 without stopping the list, and raw TCP can say nothing.
TEST_F(NetTest, SignalsThroughTheComPortOption) {
  for (bool rfc2217 : {true, false}) {
    SCOPED_TRACE(rfc2217 ? "rfc2217" : "tcp");
    PtyDevice device;
    Ser2net server(device.slavePath());
    auto run = startOn(device, urlFor(server, rfc2217),
                       {"-ntx", "1", "-setsignal", "SETDTR,777777,SETBREAK,CLRBREAK", "-t", "20"});
    ASSERT_NE(run, nullptr);
    ASSERT_TRUE(device.send("\x1a\n"));
    ProgramResult result = finish(*run);
    EXPECT_EQ(result.status, 0);
    const std::string expected =
        rfc2217 ? "#* Set Signal SETDTR\n#!!Set Signal 777777 failed 95\n"
                  "#* Set Signal SETBREAK\n#* Set Signal CLRBREAK\n"
                : "#!!Set Signal SETDTR failed 95\n#!!Set Signal 777777 failed 95\n"
                  "#!!Set Signal SETBREAK failed 95\n#!!Set Signal CLRBREAK failed 95\n";
    EXPECT_NE(result.out.find(expected), std::string::npos) << result.out;
  }
}

}  // namespace
