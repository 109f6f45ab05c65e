// The capture file, written with plain system calls so that the buffering,
// the line-ending translation and the error reporting are ours.
#include "capture/capture_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

CaptureFile::~CaptureFile() {
  close();
}

int CaptureFile::open(const char* path) {
  close();
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
  fd_ = fd;
  path_ = path;
  error_ = 0;
  used_ = 0;
  return 0;
}

void CaptureFile::putText(const uint8_t* data, size_t length) {
  const uint8_t* end = data + length;
  while (data < end) {
    const void* found = std::memchr(data, '\n', static_cast<size_t>(end - data));
    const uint8_t* lineEnd = found ? static_cast<const uint8_t*>(found) : end;
    while (data < lineEnd) {
      if (used_ == kBufferSize) drain();
      size_t chunk = std::min(static_cast<size_t>(lineEnd - data), kBufferSize - used_);
      std::memcpy(buffer_ + used_, data, chunk);
      used_ += chunk;
      data += chunk;
    }
    if (!found) break;
    if (kBufferSize - used_ < 2) drain();
    buffer_[used_++] = '\r';
    buffer_[used_++] = '\n';
    ++data;
  }
}

void CaptureFile::drain() {
  size_t done = 0;
  while (done < used_ && fd_ >= 0) {
    ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail(n < 0 ? errno : EIO);
      break;
    }
    done += static_cast<size_t>(n);
  }
  // What could not be written is dropped: keeping it would only grow, and
  // the failure has been reported.
  used_ = 0;
}

void CaptureFile::flush() {
  drain();
  if (fd_ < 0 || error_ != 0) return;
  // A FIFO, a terminal or a socket holds nothing to hand to a disk.
  if (fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) fail(errno);
}

void CaptureFile::close() {
  if (fd_ < 0) return;
  drain();
  if (::close(fd_) != 0 && errno != EINTR) fail(errno);
  fd_ = -1;
}

void CaptureFile::fail(int errorNumber) {
  if (error_ != 0) return;
  error_ = errorNumber;
  std::fprintf(console_, "\n>>>write error on file %s : %d\n", path_.c_str(), errorNumber);
}
