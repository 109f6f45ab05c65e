// Port presence on Linux from the device node and the kernel's own tables: a
// character device is a terminal when sysfs shows it in the tty class under
// its name, or when a tty driver claims its device number (pseudo-terminals
// appear only there).
#include "serial/port_presence_linux.h"
#include "serial/port_presence.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The node's kernel name: the file name of the path with every link followed.
std::string nodeName(const std::string& device) {
  char* resolved = realpath(device.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string path(resolved);
  std::free(resolved);
  return path.substr(path.rfind('/') + 1);
}

bool sysfsShowsTty(const std::string& sysfsRoot, const std::string& name, dev_t number) {
  if (name.empty() || sysfsRoot.empty()) return false;
  unsigned shownMajor = 0;
  unsigned shownMinor = 0;
  char end = 0;
  const std::string dev = fileText(sysfsRoot + "/" + name + "/dev");
  return std::sscanf(dev.c_str(), "%u:%u%c", &shownMajor, &shownMinor, &end) >= 2 &&
         (end == 0 || end == '\n') && shownMajor == major(number) && shownMinor == minor(number);
}

}  // namespace

namespace {

// Every tty driver is in the table; without it (a restricted /proc) a
// character device may be anything, and only an open could tell.
bool terminalNumber(const std::string& device, const struct stat& st, const PortEnvironment& env) {
  const std::string drivers = fileText(env.ttyDrivers);
  return drivers.empty() ||
         serial_detail::ttyDriversInclude(drivers, major(st.st_rdev), minor(st.st_rdev)) ||
         sysfsShowsTty(env.sysfsRoot, nodeName(device), st.st_rdev);
}

}  // namespace

bool portPresent(const std::string& device, const PortEnvironment& env) {
  struct stat st;
  return stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && terminalNumber(device, st, env);
}

bool mayBeTerminal(const std::string& device, const PortEnvironment& env) {
  struct stat st;
  if (stat(device.c_str(), &st) != 0) return true;  // the open will say why
  return S_ISCHR(st.st_mode) && terminalNumber(device, st, env);
}

namespace serial_detail {

bool ttyDriversInclude(const std::string& drivers, unsigned deviceMajor, unsigned deviceMinor) {
  std::istringstream lines(drivers);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string name, node, minors;
    unsigned driverMajor = 0;
    if (!(fields >> name >> node >> driverMajor >> minors) || driverMajor != deviceMajor) continue;
    // A minor number, or a range of them: "64", "0-1048575".
    if (minors.empty() || minors[0] < '0' || minors[0] > '9' ||
        minors.find_first_not_of("0123456789-") != std::string::npos) {
      continue;
    }
    unsigned first = 0;
    unsigned last = 0;
    char end = 0;
    int n = std::sscanf(minors.c_str(), "%u-%u%c", &first, &last, &end);
    if (n == 1) {
      if (minors.find('-') != std::string::npos) continue;
      last = first;
    } else if (n != 2) {
      continue;
    }
    if (deviceMinor >= first && deviceMinor <= last) return true;
  }
  return false;
}

}  // namespace serial_detail
