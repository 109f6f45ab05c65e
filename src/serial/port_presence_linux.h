// What Linux's own tables tell about a device before anything opens it.
#pragma once

#include <string>

#include "serial/port_environment_linux.h"

// False only when the kernel's tables can be read and show that `device` is
// no terminal. The opening refuses such a device without opening it: opening
// some devices has effects of its own (a watchdog starts counting down).
bool mayBeTerminal(const std::string& device, const PortEnvironment& env);

namespace serial_detail {

// Whether a table in the form of /proc/tty/drivers (name, node, major, minor
// or minor range, type on each line) has a tty driver for major:minor.
bool ttyDriversInclude(const std::string& drivers, unsigned deviceMajor, unsigned deviceMinor);

}  // namespace serial_detail
