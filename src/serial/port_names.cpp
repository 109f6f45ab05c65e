// What port names share on every platform: the device path messages show,
// and which names are network ports.
// Resolving a name is each platform's own (port_names_linux.cpp,
// port_names_win32.cpp).
#include "serial/port_names.h"

#include <cctype>
#include <cstring>

bool hasComPrefix(const char* name) {
  if (name == nullptr) return false;
  for (const char c : {'C', 'O', 'M'}) {
    if (std::toupper(static_cast<unsigned char>(*name++)) != c) return false;
  }
  return true;
}

namespace {

// `prefix` in lower case; the text in any case.
bool startsWithLower(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

NetworkScheme networkSchemeOf(const std::string& argument, std::string* rest) {
  static constexpr struct {
    const char* prefix;
    NetworkScheme scheme;
  } kSchemes[] = {{"rfc2217://", NetworkScheme::kRfc2217}, {"tcp://", NetworkScheme::kTcp}};
  for (const auto& s : kSchemes) {
    if (!startsWithLower(argument, s.prefix)) continue;
    if (rest != nullptr) *rest = argument.substr(std::strlen(s.prefix));
    return s.scheme;
  }
  return NetworkScheme::kNone;
}

bool isNetworkPort(const std::string& argument) {
  return networkSchemeOf(argument) != NetworkScheme::kNone;
}

std::string shownDevicePath(const char* portName) {
  if (portName == nullptr) return {};
  if (hasComPrefix(portName) && std::strlen(portName) > 4) {
    return std::string("\\\\.\\") + portName;
  }
  return portName;
}
