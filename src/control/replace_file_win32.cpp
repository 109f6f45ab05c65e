// Replacing a file whole on Windows.
#include <windows.h>

#include <string>

#include "capture/wide_text_win32.h"
#include "control/replace_file.h"

int replaceFile(const char* path, std::string_view content) {
  // One run writes one summary: the process number makes the name its own.
  // Named through UTF-16, so that the file is the one the user named
  // whatever its characters and length.
  const std::wstring target = openablePath(path);
  const std::wstring temporary =
      openablePath(std::string(path) + "." + std::to_string(GetCurrentProcessId()) + ".tmp");
  HANDLE h = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
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
  if (error == 0 && !MoveFileExW(temporary.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileW(temporary.c_str());
  return static_cast<int>(error);
}
