// Parsing of network port arguments (network_address.h).
#include "serial/network_address.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr char kRfc2217[] = "rfc2217://";
constexpr char kTcp[] = "tcp://";

// `prefix` in lower case; the text in any case.
bool startsWith(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

bool validPort(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  const long value = std::stol(port);
  return value >= 1 && value <= 65535;
}

}  // namespace

bool isNetworkPort(const std::string& argument) {
  return startsWith(argument, kRfc2217) || startsWith(argument, kTcp);
}

int parseNetworkPort(const std::string& argument, NetworkAddress* address) {
  NetworkAddress parsed;
  std::string rest;
  if (startsWith(argument, kRfc2217)) {
    parsed.rfc2217 = true;
    rest = argument.substr(std::strlen(kRfc2217));
  } else if (startsWith(argument, kTcp)) {
    rest = argument.substr(std::strlen(kTcp));
  } else {
    return EINVAL;
  }
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
