// Replacing a file whole on Windows.
#include <windows.h>

#include <string>

#include "capture/wide_text_win32.h"
#include "control/replace_file.h"

namespace {

// The longest name a folder holds, in UTF-16 units.
constexpr size_t kLongestName = 255;

DWORD writeAll(HANDLE h, std::string_view content) {
  while (!content.empty()) {
    DWORD done = 0;
    if (!WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &done, nullptr)) {
      return GetLastError();
    }
    if (done == 0) return ERROR_WRITE_FAULT;
    content.remove_prefix(done);
  }
  return 0;
}

// A device (NUL, CON, a COM port) or a pipe takes the content where it is:
// true when `target` is one, `*error` then saying how the write went.
bool writtenInPlace(const std::wstring& target, std::string_view content, DWORD* error) {
  HANDLE h = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(h);
  const bool inPlace = type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
  if (inPlace) *error = writeAll(h, content);
  CloseHandle(h);
  return inPlace;
}

// The temporary file's name beside `target`: its own name, shortened where
// needed so that the suffix still fits a folder's limit for a name.
std::wstring temporaryFor(const std::wstring& target) {
  // One run writes one summary: the process number makes the name its own.
  std::wstring suffix = L".";
  suffix += std::to_wstring(GetCurrentProcessId());
  suffix += L".tmp";
  const size_t slash = target.find_last_of(L"\\/");
  const size_t nameAt = slash == std::wstring::npos ? 0 : slash + 1;
  std::wstring name = target.substr(nameAt);
  if (name.size() + suffix.size() > kLongestName) name.resize(kLongestName - suffix.size());
  return target.substr(0, nameAt) + name + suffix;
}

}  // namespace

int replaceFile(const char* path, std::string_view content) {
  // Named through UTF-16, so that the file is the one the user named
  // whatever its characters and length.
  const std::wstring target = openablePath(path);
  DWORD error = 0;
  if (writtenInPlace(target, content, &error)) return static_cast<int>(error);
  const std::wstring temporary = temporaryFor(target);
  HANDLE h = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  error = writeAll(h, content);
  if (error == 0 && !FlushFileBuffers(h)) error = GetLastError();
  if (!CloseHandle(h) && error == 0) error = GetLastError();
  if (error == 0 && !MoveFileExW(temporary.c_str(), target.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileW(temporary.c_str());
  return static_cast<int>(error);
}

// A console program's standard output has no file name to compare on
// Windows; "-" names it.
bool isStandardOutput(const char*) {
  return false;
}
