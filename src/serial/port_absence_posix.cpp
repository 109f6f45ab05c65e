// The open errors of a port that is away or just appearing, on POSIX.
#include <cerrno>

#include "serial/port_absence.h"

bool isPortAway(int error) {
  switch (error) {
    // An unplugged adapter's node answers ENODEV (or ENXIO, EIO) until it goes.
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    // A network port's server restarting, or its machine rebooting.
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

bool isDeviceGone(int error) {
  // A hung-up or unplugged tty answers EIO; some drivers ENXIO or ENODEV.
  return error == EIO || error == ENXIO || error == ENODEV;
}

bool isBriefRefusal(int error) {
  // A new node belongs to root until udev has applied its rules.
  return error == EACCES || error == EPERM;
}
