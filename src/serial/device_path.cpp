// The device path that messages show for a port argument, the same on every
// platform.
#include <cctype>
#include <cstring>

#include "serial/port_names.h"

bool hasComPrefix(const char* name) {
  if (name == nullptr) return false;
  for (const char c : {'C', 'O', 'M'}) {
    if (std::toupper(static_cast<unsigned char>(*name++)) != c) return false;
  }
  return true;
}

std::string shownDevicePath(const char* portName) {
  if (portName == nullptr) return {};
  if (hasComPrefix(portName) && std::strlen(portName) > 4) {
    return std::string("\\\\.\\") + portName;
  }
  return portName;
}
