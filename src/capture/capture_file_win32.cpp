// The capture file's system calls on Windows. Appending access makes every
// write land at the end of the file, also when another program writes to
// it; others may read and write it meanwhile, as with the C library's files.
// Bytes are written as they are: the CR LF line ends are our own. The path
// is UTF-8, so a name in any script opens that very file.
#include <windows.h>

#include <algorithm>

#include "capture/capture_file_os.h"
#include "capture/wide_text_win32.h"

namespace capture_os {

namespace {

HANDLE handleOf(intptr_t file) {
  return reinterpret_cast<HANDLE>(file);
}

}  // namespace

// Files here are written synchronously: a write never says "not now".
const int kStalledError = ERROR_TIMEOUT;

int openForAppend(const char* path, intptr_t* file) {
  HANDLE h = CreateFileW(openablePath(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  *file = reinterpret_cast<intptr_t>(h);
  return 0;
}

int writeSome(intptr_t file, const uint8_t* data, size_t length, size_t* written) {
  DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
  DWORD done = 0;
  if (!WriteFile(handleOf(file), data, chunk, &done, nullptr)) {
    return static_cast<int>(GetLastError());
  }
  if (done == 0) return ERROR_WRITE_FAULT;
  *written = done;
  return 0;
}

void awaitRoom(intptr_t, std::chrono::milliseconds limit) {
  Sleep(static_cast<DWORD>(limit.count()));
}

int syncToDisk(intptr_t file) {
  if (FlushFileBuffers(handleOf(file))) return 0;
  DWORD err = GetLastError();
  // A pipe or a console holds nothing to hand to a disk.
  if (err == ERROR_INVALID_HANDLE || err == ERROR_INVALID_FUNCTION) return 0;
  return static_cast<int>(err);
}

int closeFile(intptr_t file) {
  return CloseHandle(handleOf(file)) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace capture_os
