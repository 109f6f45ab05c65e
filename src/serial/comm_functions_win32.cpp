// The system's communications functions, and the choice of table.
#include "serial/comm_functions_win32.h"

#include <atomic>

namespace {

const CommFunctions kSystem = {CreateFileA,        CloseHandle,           SetupComm,
                               PurgeComm,          SetCommState,          GetCommState,
                               GetCommProperties,  GetCommTimeouts,       SetCommTimeouts,
                               SetCommMask,        ClearCommError,        ReadFile,
                               WriteFile,          GetOverlappedResult,   CancelIoEx,
                               EscapeCommFunction, CreateIoCompletionPort};

std::atomic<const CommFunctions*> chosen{nullptr};

}  // namespace

const CommFunctions& commFunctions() {
  const CommFunctions* functions = chosen.load();
  return functions != nullptr ? *functions : kSystem;
}

void useCommFunctions(const CommFunctions* functions) {
  chosen.store(functions);
}
