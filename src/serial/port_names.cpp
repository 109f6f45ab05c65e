// What port names share on every platform: the device path messages show.
// Resolving a name is each platform's own (port_names_linux.cpp,
// port_names_win32.cpp).
#include "serial/port_names.h"

#include <cstring>

std::string shownDevicePath(const char* portName) {
  if (portName == nullptr) return {};
  if (std::strncmp(portName, "COM", 3) == 0 && std::strlen(portName) > 4) {
    return std::string("\\\\.\\") + portName;
  }
  return portName;
}
