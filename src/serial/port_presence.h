// Whether a port's device is present, decided without opening it: on Linux
// every open of a serial port raises DTR and RTS, which resets boards that
// wire DTR to their reset line, so the port listing must not open anything.
// Windows can tell a busy port from a missing one only by opening it
// (port_presence_win32.cpp).
#pragma once

#include <string>

#include "serial/port_names.h"

// True when `device` leads to a terminal device node; where the kernel's
// table of tty drivers cannot be read, to any character device. Whether it is
// busy, or may be opened by this user, does not matter.
bool portPresent(const std::string& device, const PortEnvironment& env);

// False only when the kernel's tables can be read and show that `device` is
// no terminal. The opening refuses such a device without opening it: opening
// some devices has effects of its own (a watchdog starts counting down).
bool mayBeTerminal(const std::string& device, const PortEnvironment& env);

namespace serial_detail {

// Whether a table in the form of /proc/tty/drivers (name, node, major, minor
// or minor range, type on each line) has a tty driver for major:minor.
bool ttyDriversInclude(const std::string& drivers, unsigned deviceMajor, unsigned deviceMinor);

}  // namespace serial_detail
