// COM names on Windows: the system knows them itself, so a port argument is
// "COM" and a number, in any case, and nothing else; other names fail as
// missing without being opened. A port is opened through the device
// namespace ("\\.\COM3"), which reaches every COM number; messages still
// show the path as shownDevicePath() builds it.
#include <windows.h>

#include <cstring>

#include "serial/port_names.h"

namespace {

bool isComNumberName(const char* name) {
  if (!hasComPrefix(name)) return false;
  const char* digits = name + 3;
  if (*digits == '\0') return false;
  for (; *digits != '\0'; ++digits) {
    if (*digits < '0' || *digits > '9') return false;
  }
  return true;
}

}  // namespace

// Nothing to know: the system finds its COM ports itself.
struct PortEnvironment {};

const PortEnvironment& processPortEnvironment() {
  static const PortEnvironment env;
  return env;
}

int resolvePort(const char* portName, const PortEnvironment&, std::string* device) {
  if (!isComNumberName(portName)) return ERROR_FILE_NOT_FOUND;
  *device = std::string("\\\\.\\") + portName;
  return 0;
}
