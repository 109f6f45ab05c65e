// The capture file against the port on POSIX: the same character device,
// told by its device number, whatever path leads to it.
#include <sys/stat.h>

#include <cerrno>

#include "serial/capture_file_check.h"

int checkNotCaptureFile(const std::string& device, const std::string& captureFile) {
  struct stat port;
  struct stat file;
  if (stat(device.c_str(), &port) != 0 || stat(captureFile.c_str(), &file) != 0) return 0;
  const bool same = S_ISCHR(port.st_mode) && S_ISCHR(file.st_mode) && port.st_rdev == file.st_rdev;
  return same ? EBUSY : 0;
}
