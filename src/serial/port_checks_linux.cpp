// Port checks with stat() and the session's terminal.
#include "serial/port_checks_linux.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "serial/port_presence.h"
#include "serial/port_presence_linux.h"
#include "serial/uucp_lock.h"

namespace serial_detail {

int checkBeforeOpen(const std::string& devicePath) {
  struct stat st;
  if (stat(devicePath.c_str(), &st) != 0) return errno;
  // Not opened at all: opening a FIFO would release a writer waiting for a
  // reader, and some other devices act on an open. A character device that
  // the kernel's tables cannot rule out is opened and fails there if need be.
  if (!S_ISCHR(st.st_mode) || !mayBeTerminal(devicePath, PortEnvironment{})) return ENOTTY;
  if (uucpLockHeld(devicePath, uucpLockDirs())) return EBUSY;
  return 0;
}

int checkAfterOpen(int fd) {
  // tcgetsid() answers only for the caller's controlling terminal, whatever
  // name it was opened by (/dev/tty, /dev/pts/N); the comparison also turns
  // away a pseudo-terminal master whose slave is that terminal.
  const pid_t session = tcgetsid(fd);
  if (session != -1 && session == getsid(0)) return EBUSY;
  return 0;
}

}  // namespace serial_detail
