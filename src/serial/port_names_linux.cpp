// COM names on a machine whose serial devices have other names: first the
// user's port map (links named like the port), then automatic numbering of
// the serial devices sysfs shows, in a fixed order of families.
#include "serial/port_names.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "serial/port_environment_linux.h"

namespace {

constexpr int kHighestNumberedPort = 255;

std::string joinPath(const std::string& dir, const std::string& name) {
  return dir + "/" + name;
}

// The number of "COM<n>", n from 1 to 255 in plain decimal; 0 for any other name.
int comNumber(const char* name) {
  if (std::strncmp(name, "COM", 3) != 0) return 0;
  const char* digit = name + 3;
  if (*digit < '1' || *digit > '9') return 0;  // no leading zero, no sign
  int n = 0;
  for (; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9') return 0;
    n = n * 10 + (*digit - '0');
    if (n > kHighestNumberedPort) return 0;
  }
  return n;
}

// Where a path leads with every link followed; empty when it leads nowhere.
std::string resolvedPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (dir.empty()) return names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
  }
  closedir(d);
  return names;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A sysfs attribute's first line without trailing white space; `fallback`
// when the attribute is absent or unreadable.
std::string attribute(const std::string& path, const char* fallback) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return fallback;
  char line[64];
  std::string value = std::fgets(line, sizeof line, f) != nullptr ? line : fallback;
  std::fclose(f);
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == '\t')) {
    value.pop_back();
  }
  return value;
}

struct SerialDevice {
  int family;          // ttyS, ttyUSB, ttyACM, any other tty
  std::string stem;    // the name without its number
  std::string number;  // decimal digits without leading zeros, may be empty
  std::string name;

  bool operator<(const SerialDevice& o) const {
    if (family != o.family) return family < o.family;
    if (stem != o.stem) return stem < o.stem;
    // Numbers of any length compare by their digits: shorter is smaller.
    if (number.size() != o.number.size()) return number.size() < o.number.size();
    if (number != o.number) return number < o.number;
    return name < o.name;
  }
};

SerialDevice classify(const std::string& name) {
  size_t digits = name.size();
  while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
  SerialDevice dev;
  dev.name = name;
  dev.stem = name.substr(0, digits);
  size_t firstSignificant = name.find_first_not_of('0', digits);
  dev.number = firstSignificant == std::string::npos ? "" : name.substr(firstSignificant);
  bool numbered = digits < name.size();
  if (numbered && dev.stem == "ttyS") {
    dev.family = 0;
  } else if (numbered && dev.stem == "ttyUSB") {
    dev.family = 1;
  } else if (numbered && dev.stem == "ttyACM") {
    dev.family = 2;
  } else {
    dev.family = 3;
  }
  return dev;
}

// The serial devices present, in numbering order. A UART slot without a UART
// (type 0) and the kernel's console are left out.
std::vector<SerialDevice> presentDevices(const std::string& sysfsRoot) {
  std::vector<SerialDevice> devices;
  for (const std::string& name : directoryEntries(sysfsRoot)) {
    if (name.compare(0, 3, "tty") != 0) continue;
    const std::string entry = joinPath(sysfsRoot, name);
    if (!exists(joinPath(entry, "device"))) continue;
    if (attribute(joinPath(entry, "type"), "") == "0") continue;
    if (attribute(joinPath(entry, "console"), "") == "Y") continue;
    devices.push_back(classify(name));
  }
  std::sort(devices.begin(), devices.end());
  return devices;
}

// The device that automatic numbering gives COM `number`, or empty. Numbers the
// map holds are skipped, and devices it names are not numbered again.
std::string numberedDevice(int number, const PortEnvironment& env) {
  bool held[kHighestNumberedPort + 1] = {};
  std::vector<std::string> mapped;
  for (const std::string& name : directoryEntries(env.mapDir)) {
    held[comNumber(name.c_str())] = true;
    std::string target = resolvedPath(joinPath(env.mapDir, name));
    if (!target.empty()) mapped.push_back(target);
  }
  int next = 1;
  for (const SerialDevice& dev : presentDevices(env.sysfsRoot)) {
    const std::string node = joinPath(env.devRoot, dev.name);
    std::string target = resolvedPath(node);
    if (std::find(mapped.begin(), mapped.end(), target.empty() ? node : target) != mapped.end()) {
      continue;
    }
    while (next <= kHighestNumberedPort && held[next]) ++next;
    if (next > kHighestNumberedPort) break;
    if (next == number) return node;
    ++next;
  }
  return {};
}

}  // namespace

PortEnvironment PortEnvironment::fromProcess() {
  PortEnvironment env;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (config != nullptr && *config != '\0') {
    env.mapDir = std::string(config) + "/sercap/ports";
  } else if (home != nullptr && *home != '\0') {
    env.mapDir = std::string(home) + "/.config/sercap/ports";
  }
  return env;
}

const PortEnvironment& processPortEnvironment() {
  static const PortEnvironment env = PortEnvironment::fromProcess();
  return env;
}

int resolvePort(const char* portName, const PortEnvironment& env, std::string* device) {
  if (portName == nullptr) return ENOENT;
  if (portName[0] == '/') {
    *device = portName;
    return 0;
  }
  if (std::strncmp(portName, "COM", 3) != 0) return ENOENT;

  // The name is looked up as a file in the map folder; one with a slash would
  // lead out of it.
  if (!env.mapDir.empty() && std::strchr(portName, '/') == nullptr) {
    const std::string link = joinPath(env.mapDir, portName);
    if (exists(link)) {
      std::string target = resolvedPath(link);
      if (target.empty()) return ENOENT;  // mapped to a device that is absent
      *device = target;
      return 0;
    }
  }

  const int number = comNumber(portName);
  if (number == 0) return ENOENT;
  std::string node = numberedDevice(number, env);
  if (node.empty()) return ENOENT;
  *device = node;
  return 0;
}
