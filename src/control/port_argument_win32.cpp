// Port arguments on Windows, where "COM3:" names COM3 as the system's own
// commands write it; only one colon is dropped, so "COM3::" stays a name that
// no port has.
#include <cstring>

#include "control/port_argument.h"
#include "serial/port_names.h"

char* portNameOf(char* argument) {
  const size_t length = std::strlen(argument);
  if (hasComPrefix(argument) && length > 3 && argument[length - 1] == ':') {
    argument[length - 1] = '\0';
  }
  return argument;
}
