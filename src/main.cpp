// sercap: records what a device prints on a serial line into a file.
#include <unistd.h>

#include <cstdio>

#include "control/supervisor.h"

int main(int argc, char** argv) {
  // A terminal sees every mark at once; a pipe or file gets whole blocks.
  static char buffer[1 << 16];
  if (isatty(STDOUT_FILENO)) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
  int status = runProgram(argc, argv, stdout);
  std::fflush(stdout);
  return status;
}
