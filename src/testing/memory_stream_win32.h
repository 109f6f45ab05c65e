// A stdio stream whose text can be read back, on Windows, whose C library
// has no memory streams: a temporary file of a unique name, removed when
// closed. (The C library's tmpfile() names can clash between processes.)
#pragma once

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

class MemoryStream {
 public:
  MemoryStream() {
    char dir[MAX_PATH];
    char path[MAX_PATH];
    if (GetTempPathA(MAX_PATH, dir) == 0 || GetTempFileNameA(dir, "sct", 0, path) == 0) return;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0) {
      CloseHandle(h);
      return;
    }
    stream_ = _fdopen(fd, "w+b");
  }
  ~MemoryStream() {
    if (stream_ != nullptr) std::fclose(stream_);
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  std::FILE* stream() { return stream_; }
  std::string text() {
    std::fflush(stream_);
    long end = std::ftell(stream_);
    std::string data(static_cast<size_t>(end), '\0');
    std::rewind(stream_);
    size_t got = std::fread(data.data(), 1, data.size(), stream_);
    data.resize(got);
    std::fseek(stream_, 0, SEEK_END);
    return data;
  }

 private:
  std::FILE* stream_ = nullptr;
};
