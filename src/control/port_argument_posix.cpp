// Port arguments on POSIX systems: taken as typed. A colon is an ordinary
// character of a file name here.
#include "control/port_argument.h"

char* portNameOf(char* argument) {
  return argument;
}
