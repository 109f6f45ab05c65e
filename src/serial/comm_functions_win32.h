// The Windows calls a COM port is driven through, in one table: the program
// binds them to the system's own, and unit tests to a played driver, so that
// what real drivers do and Wine's never does (an unplugged adapter, a read
// that never completes, a spurious cancellation) can be shown. The table
// holds no behaviour of its own. Events and waits are not in it: they are
// the same whoever drives the port.
#pragma once

#include <windows.h>

struct CommFunctions {
  decltype(&CreateFileA) createFile;
  decltype(&CloseHandle) closeHandle;  // of the port only
  decltype(&SetupComm) setupComm;
  decltype(&PurgeComm) purgeComm;
  decltype(&SetCommState) setCommState;
  decltype(&GetCommState) getCommState;
  decltype(&GetCommProperties) getCommProperties;
  decltype(&GetCommTimeouts) getCommTimeouts;
  decltype(&SetCommTimeouts) setCommTimeouts;
  decltype(&SetCommMask) setCommMask;
  decltype(&ClearCommError) clearCommError;
  decltype(&ReadFile) readFile;
  decltype(&WriteFile) writeFile;
  decltype(&GetOverlappedResult) getOverlappedResult;
  decltype(&CancelIoEx) cancelIoEx;
  decltype(&EscapeCommFunction) escapeCommFunction;
  // Associates the port with a new completion port, which it returns.
  decltype(&CreateIoCompletionPort) createIoCompletionPort;
};

// The table that ports opened from now on use: the system's, unless a test
// chose another (nullptr: the system's again).
const CommFunctions& commFunctions();
void useCommFunctions(const CommFunctions* functions);
