// The device path that messages show for a port argument, the same on every
// platform.
#include <cstring>

#include "serial/port_names.h"

std::string shownDevicePath(const char* portName) {
  if (portName == nullptr) return {};
  if (std::strncmp(portName, "COM", 3) == 0 && std::strlen(portName) > 4) {
    return std::string("\\\\.\\") + portName;
  }
  return portName;
}
