// Whether a port's device is present, decided without opening it: on Linux
// every open of a serial port raises DTR and RTS, which resets boards that
// wire DTR to their reset line, so the port listing must not open anything.
// Windows asks its serial device map (port_presence_win32.cpp).
#pragma once

#include <string>

#include "serial/port_names.h"

// True when `device` leads to a terminal device node; where the kernel's
// table of tty drivers cannot be read, to any character device. Whether it is
// busy, or may be opened by this user, does not matter.
bool portPresent(const std::string& device, const PortEnvironment& env);
