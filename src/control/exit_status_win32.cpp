// Exit statuses on Windows: 32 bits, so every result is its own status.
#include "control/exit_status.h"

int exitStatusFor(int result) {
  return result;
}
