// What an open's error number says while sercap waits for a port: not there
// (yet), there but refusing for a moment, or a failure that waiting will not
// mend. The numbers differ by platform: port_absence_posix.cpp and
// port_absence_win32.cpp.
#pragma once

// A port that does not exist: the same number on every platform (ENOENT,
// ERROR_FILE_NOT_FOUND), also for a COM name that resolves to nothing.
inline constexpr int kPortMissing = 2;

// Whether the port is not back yet after it was lost: missing, or its old
// device node still lingering for a moment after an unplug; for a network
// port, its server not accepting yet (restarting, its machine rebooting).
bool isPortAway(int error);

// Whether an opened line's step (emptying it, its settings, a signal) failed
// because the device behind it has gone: an adapter unplugged while it was
// being set up, a line hung up.
bool isDeviceGone(int error);

// Whether the open was refused in the way a port refuses it for a moment
// after it appears (its permissions not applied yet, the old handle not let
// go yet).
bool isBriefRefusal(int error);
