// Looking for a live UUCP lock on a device before it is opened.
#include "serial/uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace serial_detail {

namespace {

// A real lock file is eleven bytes; anything much longer is no lock file.
constexpr size_t kMostLockBytes = 128;

std::string readSmallFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[kMostLockBytes];
  size_t filled = 0;
  while (filled < sizeof buffer) {
    ssize_t n = ::read(fd, buffer + filled, sizeof buffer - filled);
    if (n > 0) {
      filled += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  ::close(fd);
  return std::string(buffer, filled);
}

// A number beyond pid_t names no process: cast, 4294967295 would become -1
// (kill() asks about every process) and 4294967297 process 1. Numbers above
// the kernel's pid_max need no test of their own: kill() finds no such process.
long asPid(long long number) {
  return number > 0 && number <= std::numeric_limits<pid_t>::max() ? static_cast<long>(number) : 0;
}

bool processAlive(long pid) {
  if (pid <= 0 || pid == static_cast<long>(getpid())) return false;
  // EPERM: the process is there, it only belongs to someone else.
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

const std::vector<std::string>& uucpLockDirs() {
  static const std::vector<std::string> dirs = {"/run/lock", "/var/lock"};
  return dirs;
}

std::string uucpLockName(const std::string& devicePath) {
  char* resolved = realpath(devicePath.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string node(resolved);
  std::free(resolved);
  static const std::string devDir = "/dev/";
  std::string name;
  if (node.compare(0, devDir.size(), devDir) == 0) {
    name = node.substr(devDir.size());
  } else {
    name = node.substr(node.rfind('/') + 1);
  }
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  return name.empty() ? std::string() : "LCK.." + name;
}

long uucpLockPid(const std::string& content) {
  // Text: blanks, digits, then nothing or white space (a name may follow).
  size_t i = content.find_first_not_of(' ');
  size_t digitsEnd = i == std::string::npos ? i : content.find_first_not_of("0123456789", i);
  if (i != std::string::npos && digitsEnd != i) {
    const bool endsWell = digitsEnd == std::string::npos || content[digitsEnd] == '\n' ||
                          content[digitsEnd] == ' ' || content[digitsEnd] == '\t';
    // More digits than any pid has: not a pid.
    if (endsWell && (digitsEnd == std::string::npos ? content.size() : digitsEnd) - i <= 10) {
      return asPid(std::strtoll(content.c_str() + i, nullptr, 10));
    }
  }
  // The older binary form: the pid as a native int, nothing else.
  if (content.size() == sizeof(int)) {
    int pid = 0;
    std::memcpy(&pid, content.data(), sizeof pid);
    return pid > 0 ? pid : 0;
  }
  return 0;
}

bool uucpLockHeld(const std::string& devicePath, const std::vector<std::string>& lockDirs) {
  const std::string name = uucpLockName(devicePath);
  if (name.empty()) return false;
  for (const std::string& dir : lockDirs) {
    if (processAlive(uucpLockPid(readSmallFile(dir + "/" + name)))) return true;
  }
  return false;
}

}  // namespace serial_detail
