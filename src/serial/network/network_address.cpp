// Parsing of network port arguments (network_address.h).
#include "serial/network/network_address.h"

#include <cerrno>
#include <cstring>

#include "serial/port_names.h"

namespace {

bool validPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::stol(port);
  return value >= 1 && value <= 65535;
}

}  // namespace

int parseNetworkPort(const std::string& argument, NetworkAddress* address) {
  NetworkAddress parsed;
  std::string rest;
  const NetworkScheme scheme = networkSchemeOf(argument, &rest);
  if (scheme == NetworkScheme::kNone) return EINVAL;
  parsed.rfc2217 = scheme == NetworkScheme::kRfc2217;
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return EINVAL;
    }
    parsed.host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.find(':');
    if (colon == std::string::npos) return EINVAL;
    parsed.host = rest.substr(0, colon);
    // An IPv6 address needs its brackets, or its last group would be the port.
    if (parsed.host.find_first_of(":/[]") != std::string::npos) return EINVAL;
  }
  parsed.port = rest.substr(colon + 1);
  if (parsed.host.empty() || !validPort(parsed.port)) return EINVAL;
  *address = parsed;
  return 0;
}
