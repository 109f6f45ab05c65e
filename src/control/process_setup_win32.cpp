// Process set-up on Windows. Console text goes out through the console
// writer, which makes its own line ends; the C library's standard output is
// only the fallback when that writer cannot start, and stays in text mode.
// A closed pipe is an ordinary write error here, and a missing standard
// handle makes console writes fail instead of landing elsewhere. A console
// tool must never stop for a dialog box: a drive that is not ready or a
// failed file open is an error number, not a question to the user.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "control/process_setup.h"

void prepareProcess() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
  _setmode(_fileno(stdout), _O_TEXT);
}
