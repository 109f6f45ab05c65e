// The port probe on Windows: an unshared open of the existing device,
// without asynchronous I/O. A port that another program holds answers
// ERROR_ACCESS_DENIED and is present all the same.
#include <windows.h>

#include "control/port_probe.h"

bool portPresent(const std::string& device) {
  HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED;
}
