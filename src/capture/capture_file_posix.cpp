// The capture file's system calls on POSIX.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "capture/capture_file_os.h"

namespace capture_os {

const int kStalledError = EAGAIN;

int openForAppend(const char* path, intptr_t* file) {
  // Without O_NONBLOCK a FIFO that nobody reads would hang the open; with it,
  // that FIFO fails at once (ENXIO). It stays: a FIFO or a terminal that
  // takes nothing then says so instead of holding the writer (a regular file
  // is not affected).
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return errno;
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
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWouldBlock;
    return n < 0 ? errno : EIO;
  }
}

void awaitRoom(intptr_t file, std::chrono::milliseconds limit) {
  pollfd wanted = {static_cast<int>(file), POLLOUT, 0};
  ::poll(&wanted, 1, static_cast<int>(limit.count()));
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
