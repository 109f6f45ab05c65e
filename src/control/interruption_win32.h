// The console control handler that Interruption installs on Windows, open to
// the unit tests, which cannot make the system send every kind of event.
#pragma once

#include <windows.h>

// Answers one console control event as Interruption does: TRUE when taken.
BOOL WINAPI consoleControlHandler(DWORD type);
