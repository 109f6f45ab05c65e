#include "port_link.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

// mkdir -p: every missing folder along dir.
bool makeDirs(const std::string& dir, std::string* error) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    const std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      *error = "cannot create folder " + part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = dir + " is not a folder";
    return false;
  }
  return true;
}

}  // namespace

std::string portMapDir(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome != nullptr && *xdgConfigHome != '\0') {
    return std::string(xdgConfigHome) + "/sercap/ports";
  }
  if (home != nullptr && *home != '\0') return std::string(home) + "/.config/sercap/ports";
  return {};
}

bool PortLink::create(const std::string& dir, const std::string& name, const std::string& target,
                      std::string* error) {
  remove();
  if (!makeDirs(dir, error)) return false;
  const std::string path = dir + "/" + name;
  // Made under a temporary name and renamed over the old entry, so a reader
  // never finds the name missing or half made.
  const std::string temp = dir + "/." + name + ".sercap-sim." + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) {
    *error = "cannot create link " + temp + ": " + std::strerror(errno);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot create link " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  path_ = path;
  target_ = target;
  return true;
}

void PortLink::remove() {
  if (path_.empty()) return;
  char buf[4096];
  const ssize_t n = ::readlink(path_.c_str(), buf, sizeof buf);
  if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target_) ::unlink(path_.c_str());
  path_.clear();
  target_.clear();
}
