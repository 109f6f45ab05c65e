// The port listing. Presence is decided without opening the port, so listing
// never touches a line; a port that another process holds, or that we may not
// open, still exists and is listed.
#include "control/port_listing.h"

#include <string>

#include "control/help.h"
#include "serial/port_presence.h"

namespace {

constexpr int kHighestListedPort = 24;

}  // namespace

void printBannerAndPorts(std::FILE* out, const char* program, const PortEnvironment& env) {
  printVersion(out, program);
  std::fputs("use -help option to get usage\n", out);
  listPorts(out, env);
}

void listPorts(std::FILE* out, const PortEnvironment& env) {
  std::fputs("available COM ports are: ", out);
  for (int n = 1; n <= kHighestListedPort; ++n) {
    std::string name = "COM" + std::to_string(n);
    std::string device;
    if (resolvePort(name.c_str(), env, &device) != 0) continue;
    if (portPresent(device, env)) std::fprintf(out, "%s\n \n", name.c_str());
  }
}
