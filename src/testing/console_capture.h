// A console stream for tests: whatever is printed to it, as one string.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

class ConsoleCapture {
 public:
  ConsoleCapture() : stream_(open_memstream(&data_, &size_)) {}
  ~ConsoleCapture() {
    std::fclose(stream_);
    std::free(data_);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

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
