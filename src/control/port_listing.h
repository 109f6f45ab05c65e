// The banner and the list of serial ports present, printed when sercap is
// started without arguments.
#pragma once

#include <cstdio>

#include "serial/port_names.h"

// Prints the version banner and the port list.
void printBannerAndPorts(std::FILE* out, const char* program, const PortEnvironment& env);

// Prints "available COM ports are: " and the ports COM1 to COM24 present.
void listPorts(std::FILE* out, const PortEnvironment& env);
