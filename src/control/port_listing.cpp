// The port listing. Each port is probed by an open that changes nothing on
// the line: non-blocking, no settings applied, closed at once. A port that
// another process holds, or that we may not open, still exists and is listed.
#include "control/port_listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#ifndef SERCAP_VERSION
#error "SERCAP_VERSION must be defined by the build (from the VERSION file)"
#endif

namespace {

constexpr int kHighestListedPort = 24;

bool portPresent(const std::string& device) {
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno == EBUSY || errno == EACCES;
}

}  // namespace

void printBannerAndPorts(std::FILE* out, const char* program, const PortEnvironment& env) {
  std::fprintf(out, "%s version %s\n", program, SERCAP_VERSION);
  std::fputs("use -help option to get usage\n", out);
  listPorts(out, env);
}

void listPorts(std::FILE* out, const PortEnvironment& env) {
  std::fputs("available COM ports are: ", out);
  for (int n = 1; n <= kHighestListedPort; ++n) {
    std::string name = "COM" + std::to_string(n);
    std::string device;
    if (resolvePort(name.c_str(), env, &device) != 0) continue;
    if (portPresent(device)) std::fprintf(out, "%s\n \n", name.c_str());
  }
}
