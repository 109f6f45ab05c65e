// UUCP lock files: the old convention by which programs that use a serial line
// mark it as theirs, a file "LCK.." plus the device's name in a shared lock
// folder, holding the owner's process id. sercap honours such locks but
// writes none of its own (its flock and TIOCEXCL keep other programs out).
#pragma once

#include <string>
#include <vector>

namespace serial_detail {

// The folders searched for lock files on this system.
const std::vector<std::string>& uucpLockDirs();

// The lock file name for a device: "LCK.." and the device's kernel name, the
// path of the device node (links followed) below /dev with every "/" as "_":
// LCK..ttyUSB0 for /dev/serial/by-id/usb-...; LCK..pts_3 for /dev/pts/3. A
// node outside /dev goes by its file name. Empty when the path leads nowhere.
std::string uucpLockName(const std::string& devicePath);

// The process id a lock file holds: ten-column text ("%10d\n") or a binary
// int. 0 when the content is neither, or when its number cannot be a process
// id (not positive, or beyond pid_t).
long uucpLockPid(const std::string& content);

// Whether a live process other than this one holds a lock on the device in
// any of `lockDirs`. A lock of a dead process, or one naming no process, is
// stale and holds nothing.
bool uucpLockHeld(const std::string& devicePath, const std::vector<std::string>& lockDirs);

}  // namespace serial_detail
