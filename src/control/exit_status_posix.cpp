// Exit statuses on POSIX, where a status holds 8 bits.
#include "control/exit_status.h"

int exitStatusFor(int result) {
  if (result == kResultUsage) return 4;
  if (result == kResultFileError) return 255;
  return result;
}
