// A stdio stream whose text can be read back, on Windows, whose C library
// has no memory streams: a temporary file, removed when closed.
#pragma once

#include <cstdio>
#include <string>

class MemoryStream {
 public:
  MemoryStream() : stream_(std::tmpfile()) {}
  ~MemoryStream() { std::fclose(stream_); }
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
  std::FILE* stream_;
};
