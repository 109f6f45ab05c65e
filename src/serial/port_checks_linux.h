// The checks that decide whether a device may be taken as the capture port,
// beyond the open itself: only a terminal is a port, and one that is in use
// elsewhere, as far as that can be seen, is refused.
#pragma once

#include <string>

namespace serial_detail {

// Before the device is opened, so that opening cannot disturb what is refused:
// 0, the error number of a path that leads nowhere, ENOTTY when it is no
// terminal device as far as can be seen without opening it (a regular file, a
// FIFO, /dev/null), or EBUSY when a live UUCP lock holds it.
int checkBeforeOpen(const std::string& devicePath);

// On the open descriptor: 0, or EBUSY when the device is this process's own
// controlling terminal (the user's session is using it).
int checkAfterOpen(int fd);

}  // namespace serial_detail
