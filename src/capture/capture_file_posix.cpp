// The capture file's system calls on POSIX.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "capture/capture_file_os.h"

namespace capture_os {

int openForAppend(const char* path, intptr_t* file) {
  // Without O_NONBLOCK a FIFO that nobody reads would hang the open; with it,
  // that FIFO fails at once (ENXIO). Writes block again afterwards.
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return errno;
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    int err = errno;
    ::close(fd);
    return err;
  }
  *file = fd;
  return 0;
}

int writeSome(intptr_t file, const uint8_t* data, size_t length, size_t* written) {
  for (;;) {
    ssize_t n = ::write(static_cast<int>(file), data, length);
    if (n > 0) {
      *written = static_cast<size_t>(n);
      return 0;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? errno : EIO;
  }
}

int syncToDisk(intptr_t file) {
  // A FIFO, a terminal or a socket holds nothing to hand to a disk.
  if (fdatasync(static_cast<int>(file)) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return 0;
}

int closeFile(intptr_t file) {
  if (::close(static_cast<int>(file)) != 0 && errno != EINTR) return errno;
  return 0;
}

}  // namespace capture_os
