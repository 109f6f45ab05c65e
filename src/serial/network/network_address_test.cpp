#include "serial/network/network_address.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "serial/port_names.h"

TEST(NetworkAddress, SchemesHostsAndPorts) {
  struct {
    const char* argument;
    bool ok;
    bool rfc2217;
    const char* host;
    const char* port;
  } cases[] = {
      {"rfc2217://rack3.lab:2001", true, true, "rack3.lab", "2001"},
      {"RFC2217://10.0.0.7:7001", true, true, "10.0.0.7", "7001"},
      {"tcp://127.0.0.1:65535", true, false, "127.0.0.1", "65535"},
      {"tcp://[::1]:4000", true, false, "::1", "4000"},
      {"rfc2217://[fe80::1%eth0]:1", true, true, "fe80::1%eth0", "1"},
      {"tcp://::1:4000", false, false, "", ""},
      {"tcp://host", false, false, "", ""},
      {"tcp://host:", false, false, "", ""},
      {"tcp://:4000", false, false, "", ""},
      {"tcp://host:0", false, false, "", ""},
      {"tcp://host:65536", false, false, "", ""},
      {"tcp://host:12ab", false, false, "", ""},
      {"tcp://[::1]4000", false, false, "", ""},
      {"tcp://[::1", false, false, "", ""},
      {"tcp://[]:4000", false, false, "", ""},
      {"tcp://host/path:4000", false, false, "", ""},
      {"telnet://host:23", false, false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argument);
    NetworkAddress address;
    int err = parseNetworkPort(c.argument, &address);
    ASSERT_EQ(err, c.ok ? 0 : EINVAL);
    if (!c.ok) continue;
    EXPECT_EQ(address.rfc2217, c.rfc2217);
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
  }
  EXPECT_TRUE(isNetworkPort("Tcp://x"));
  EXPECT_FALSE(isNetworkPort("/dev/ttyS0"));
  EXPECT_FALSE(isNetworkPort("COM3"));
}
