// Where ports live on a Linux machine: the user's port map and the kernel's
// tables. Tests point the roots at fake trees.
#pragma once

#include <string>

struct PortEnvironment {
  std::string mapDir;                            // folder of COMn -> device links
  std::string sysfsRoot = "/sys/class/tty";      // serial devices present
  std::string devRoot = "/dev";                  // where their device nodes are
  std::string ttyDrivers = "/proc/tty/drivers";  // device numbers of every tty driver

  // The port map from XDG_CONFIG_HOME (or HOME/.config) and the real roots.
  static PortEnvironment fromProcess();
};
