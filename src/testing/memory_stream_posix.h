// A stdio stream that writes into memory, on POSIX: open_memstream().
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class MemoryStream {
 public:
  MemoryStream() : stream_(open_memstream(&data_, &size_)) {}
  ~MemoryStream() {
    std::fclose(stream_);
    std::free(data_);
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  std::FILE* stream() { return stream_; }
  std::string text() {
    std::fflush(stream_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  std::FILE* stream_;
};
