// The open errors of a port that is away or just appearing, on POSIX.
#include <cerrno>

#include "serial/port_absence.h"

bool isPortAway(int error) {
  // An unplugged adapter's node answers ENODEV (or ENXIO, EIO) until it goes.
  return error == ENOENT || error == ENODEV || error == ENXIO || error == EIO;
}

bool isBriefRefusal(int error) {
  // A new node belongs to root until udev has applied its rules.
  return error == EACCES || error == EPERM;
}
