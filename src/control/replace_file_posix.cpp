// Replacing a file whole on POSIX systems.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "control/replace_file.h"

namespace {

// How long a file written in place may take nothing before it is given up.
constexpr int kStallMillis = 1000;
// Links followed before the path counts as a loop, as the kernel counts.
constexpr int kMaxLinks = 40;

// Writes everything, waiting while a pipe or terminal is full, up to
// kStallMillis each time nothing goes.
int writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p = {fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, kStallMillis);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return EAGAIN;
      continue;
    }
    if (n < 0) return errno;
    content.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// The folder part of a path, with its slash ("" for none).
std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Where `path` leads once every symbolic link in its last part is followed;
// the last link's target may not exist yet. 0 or an error number.
int followLinks(std::string* path) {
  for (int links = 0;; ++links) {
    struct stat st;
    if (::lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    if (links == kMaxLinks) return ELOOP;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path->c_str(), target, sizeof target - 1);
    if (n < 0) return errno;
    target[n] = '\0';
    *path = target[0] == '/' ? std::string(target) : folderOf(*path) + target;
  }
}

// A device, FIFO or terminal takes the content where it is. Opened without
// waiting: a FIFO nobody reads is an error (ENXIO), not a hang.
int writeInPlace(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = writeAll(fd, content);
  ::close(fd);
  return error;
}

// The temporary file's name beside `path`: its own name, shortened where
// needed so that the suffix still fits the folder's limit for a name.
std::string temporaryFor(const std::string& path) {
  // One run writes one summary: the process number makes the name its own.
  const std::string suffix = "." + std::to_string(::getpid()) + ".tmp";
  const std::string folder = folderOf(path);
  std::string name = path.substr(folder.size());
  const long longest = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
  const size_t limit = longest > 0 ? static_cast<size_t>(longest) : NAME_MAX;
  if (name.size() + suffix.size() > limit && suffix.size() < limit) {
    name.resize(limit - suffix.size());
  }
  return folder + name + suffix;
}

}  // namespace

int replaceFile(const char* path, std::string_view content) {
  // Opened by its own name: the kernel follows every kind of link, also
  // /proc's to a pipe or a terminal.
  struct stat st;
  if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return writeInPlace(path, content);
  }
  std::string target = path;
  if (int error = followLinks(&target)) return error;
  const std::string temporary = temporaryFor(target);
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno;
  int error = writeAll(fd, content);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

bool isStandardOutput(const char* path) {
  struct stat named;
  struct stat output;
  if (::stat(path, &named) != 0 || ::fstat(STDOUT_FILENO, &output) != 0) return false;
  return named.st_dev == output.st_dev && named.st_ino == output.st_ino;
}
