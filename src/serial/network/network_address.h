// The host and port of a network port argument (port_names.h tells which
// arguments are ones). HOST is a name, an IPv4 address or an IPv6 address in
// brackets.
#pragma once

#include <string>

struct NetworkAddress {
  bool rfc2217 = false;  // else raw TCP
  std::string host;      // without the brackets
  std::string port;      // decimal, 1 to 65535
};

// Splits a network port argument. 0, or EINVAL when it is malformed.
int parseNetworkPort(const std::string& argument, NetworkAddress* address);
