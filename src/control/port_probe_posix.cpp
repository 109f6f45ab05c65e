// The port probe on POSIX: non-blocking, no settings applied.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "control/port_probe.h"

bool portPresent(const std::string& device) {
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno == EBUSY || errno == EACCES;
}
