// COM names on Windows: the system knows them itself, so a port argument is
// a COM name and nothing else. It is opened through the device namespace
// ("\\.\COM3"), which reaches every COM number; messages still show the
// path as shownDevicePath() builds it.
#include <windows.h>

#include <cstring>

#include "serial/port_names.h"

// Nothing to know: the system finds its COM ports itself.
struct PortEnvironment {};

const PortEnvironment& processPortEnvironment() {
  static const PortEnvironment env;
  return env;
}

int resolvePort(const char* portName, const PortEnvironment&, std::string* device) {
  if (portName == nullptr || std::strncmp(portName, "COM", 3) != 0) return ERROR_FILE_NOT_FOUND;
  *device = std::string("\\\\.\\") + portName;
  return 0;
}
