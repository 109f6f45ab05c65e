// What port names share on every platform: the device path messages show.
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

std::string shownDevicePath(const char* portName) {
  if (portName == nullptr) return {};
  if (hasComPrefix(portName) && std::strlen(portName) > 4) {
    return std::string("\\\\.\\") + portName;
  }
  return portName;
}
