// The network line by itself, against the fake server: what a hostile server
// can make it hold.
#include "serial/network/network_line.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_com_port_server.h"

namespace {

// A server that asks for an option without end and never reads must not make
// the line's replies pile up: they are dropped once some wait unsent, and the
// data after the requests still arrives.
TEST(NetworkLine, RepliesToAServerThatDoesNotReadStayBounded) {
  FakeComPortServer server(FakeComPortServer::Behaviour::kAsksWithoutReading);
  NetworkLine line;
  ASSERT_EQ(line.open(server.url()), 0);
  ASSERT_EQ(line.configure(LineSettings{}).step, LineStep::kNone);

  std::string received;
  while (received.find("done\n") == std::string::npos) {
    ASSERT_EQ(line.awaitLine(), 0);
    size_t queued = 0;
    ASSERT_EQ(line.collect(&queued), 0);
    std::string chunk(queued, '\0');
    chunk.resize(line.take(reinterpret_cast<uint8_t*>(chunk.data()), chunk.size()));
    received += chunk;
  }
  EXPECT_EQ(received, "done\n");
  // 32 MiB of requests would have left megabytes of replies waiting.
  EXPECT_LT(line.unsent(), size_t{1} << 20);
  line.close();
}

}  // namespace
