// Starting Winsock and connecting on Windows: the start's own error, the
// addresses where a refusal must be final at once, and a name's addresses
// tried so that one that never answers does not hold up the next.
#include "serial/network/net_connect_win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

TEST(WinsockStart, AFailureIsTheErrorTheStartReturned) {
  // WSAStartup sets no last error; reading one gave 0, and connect() then
  // reported success without a socket.
  auto failing = [](WORD, LPWSADATA) -> int {
    WSASetLastError(0);
    return WSASYSNOTREADY;
  };
  EXPECT_EQ(startWinsockWith(failing), WSASYSNOTREADY);
}

class NetConnectTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(startWinsockWith(WSAStartup), 0); }

  // `text` as a numeric address with `port`.
  static ConnectTarget target(const std::string& text, u_short port = 0) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    EXPECT_EQ(getaddrinfo(text.c_str(), std::to_string(port).c_str(), &hints, &found), 0) << text;
    ConnectTarget t{};
    if (found == nullptr) return t;
    t = connectTargets(found).front();
    freeaddrinfo(found);
    return t;
  }

  // A listening socket on `address`, port chosen by the system; with
  // `silent`, its queue is full, so that it never answers a connect.
  SOCKET listener(const std::string& address, bool silent, u_short* port) {
    ConnectTarget t = target(address);
    SOCKET s = ::socket(t.address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    sockets_.push_back(s);
    if (::bind(s, reinterpret_cast<sockaddr*>(&t.address), t.length) != 0 ||
        ::listen(s, silent ? 0 : 4) != 0) {
      return INVALID_SOCKET;
    }
    sockaddr_storage bound{};
    int length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    *port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    if (silent) {
      // The one connection the queue holds, never accepted.
      SOCKET filler = ::socket(t.address.ss_family, SOCK_STREAM, IPPROTO_TCP);
      sockets_.push_back(filler);
      ConnectTarget to = target(address, *port);
      if (::connect(filler, reinterpret_cast<sockaddr*>(&to.address), to.length) != 0) {
        return INVALID_SOCKET;
      }
    }
    return s;
  }

  void TearDown() override {
    for (SOCKET s : sockets_) closesocket(s);
  }

  std::vector<SOCKET> sockets_;
};

TEST_F(NetConnectTest, LoopbackIsKnownInEveryForm) {
  const struct {
    const char* address;
    bool loopback;
  } cases[] = {
      {"127.0.0.1", true},        {"127.200.3.4", true}, {"::1", true},
      {"::ffff:127.0.0.1", true}, {"128.0.0.1", false},  {"10.0.0.1", false},
      {"::ffff:10.0.0.1", false}, {"::2", false},        {"fe80::1", false},
  };
  for (const auto& c : cases) {
    const ConnectTarget t = target(c.address);
    EXPECT_EQ(isLoopback(reinterpret_cast<const sockaddr*>(&t.address)), c.loopback) << c.address;
  }
}

// A server that listens on IPv4 only, behind a name whose first address is
// IPv6 and never answers: it is reached within a second, not after the
// whole limit spent on the first address. A refused address gives way at
// once; when all refuse, so does the connect.
TEST_F(NetConnectTest, AnAddressThatNeverAnswersHoldsUpNoOther) {
  u_short silentPort = 0, serverPort = 0, closedPort = 0;
  if (listener("::1", true, &silentPort) == INVALID_SOCKET) GTEST_SKIP() << "no IPv6 loopback";
  ASSERT_NE(listener("127.0.0.1", false, &serverPort), INVALID_SOCKET);
  SOCKET closed = listener("127.0.0.1", false, &closedPort);
  closesocket(closed);
  sockets_.pop_back();

  const struct {
    const char* name;
    std::vector<ConnectTarget> targets;
    int result;
  } cases[] = {
      {"silent IPv6 first", {target("::1", silentPort), target("127.0.0.1", serverPort)}, 0},
      {"refused first", {target("127.0.0.1", closedPort), target("127.0.0.1", serverPort)}, 0},
      {"all refused", {target("127.0.0.1", closedPort)}, WSAECONNREFUSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto before = Clock::now();
    SOCKET connected = INVALID_SOCKET;
    EXPECT_EQ(connectFirst(c.targets, before + seconds(5), &connected), c.result);
    EXPECT_LT(Clock::now() - before, seconds(3));
    if (c.result != 0) continue;
    sockaddr_in peer{};
    int length = sizeof peer;
    ASSERT_EQ(getpeername(connected, reinterpret_cast<sockaddr*>(&peer), &length), 0);
    EXPECT_EQ(ntohs(peer.sin_port), serverPort);
    closesocket(connected);
  }
}

}  // namespace
