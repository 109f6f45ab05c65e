// Process set-up on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "control/process_setup.h"

void prepareProcess() {
  // A closed 0, 1 or 2 would otherwise be taken by the capture file or the
  // port, and console text would land in the capture or on the line.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      ::close(opened);
    }
  }
  // A console reader that quits is an ordinary write error, not the end of
  // the run; a file-size limit is an ordinary write error on the capture file.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}
