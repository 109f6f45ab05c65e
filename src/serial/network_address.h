// Port arguments that name a port on another machine: rfc2217://HOST:PORT
// (telnet with the Com Port Control Option) and tcp://HOST:PORT (raw bytes).
// HOST is a name, an IPv4 address or an IPv6 address in brackets.
#pragma once

#include <string>

struct NetworkAddress {
  bool rfc2217 = false;  // else raw TCP
  std::string host;      // without the brackets
  std::string port;      // decimal, 1 to 65535
};

// Whether `argument` begins with one of the two schemes (in any case).
bool isNetworkPort(const std::string& argument);

// Splits a network port argument. 0, or EINVAL when it is malformed.
int parseNetworkPort(const std::string& argument, NetworkAddress* address);
