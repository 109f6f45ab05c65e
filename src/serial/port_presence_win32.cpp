// Port presence on Windows: an unshared open of the existing device, without
// asynchronous I/O, closed at once; the system offers no other way to tell a
// busy port from a missing one. A port that another program holds answers
// ERROR_ACCESS_DENIED and is present all the same.
#include <windows.h>

#include "serial/port_presence.h"

bool portPresent(const std::string& device, const PortEnvironment&) {
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED;
}

// Only COM ports are ever opened here, and they are all serial lines.
bool mayBeTerminal(const std::string&, const PortEnvironment&) {
  return true;
}
