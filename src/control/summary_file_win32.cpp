// Replacing a file whole on Windows.
#include <windows.h>

#include <string>

#include "control/summary_file.h"

int replaceFile(const char* path, std::string_view content) {
  // One run writes one summary: the process number makes the name its own.
  const std::string temporary =
      std::string(path) + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
  HANDLE h = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD error = 0;
  while (error == 0 && !content.empty()) {
    DWORD done = 0;
    if (!WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr)) {
      error = GetLastError();
    } else if (done == 0) {
      error = ERROR_WRITE_FAULT;
    } else {
      content.remove_prefix(done);
    }
  }
  if (error == 0 && !FlushFileBuffers(h)) error = GetLastError();
  if (!CloseHandle(h) && error == 0) error = GetLastError();
  if (error == 0 &&
      !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileA(temporary.c_str());
  return static_cast<int>(error);
}
