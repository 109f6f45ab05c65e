// Replacing a file whole on POSIX systems.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "control/replace_file.h"

namespace {

int writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    content.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace

int replaceFile(const char* path, std::string_view content) {
  // One run writes one summary: the process number makes the name its own.
  const std::string temporary = std::string(path) + "." + std::to_string(::getpid()) + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno;
  int error = writeAll(fd, content);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}
