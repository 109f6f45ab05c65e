// A console stream for tests: whatever is printed to it, as one string.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include "testing/memory_stream_win32.h"
#else
#include "testing/memory_stream_posix.h"
#endif

class ConsoleCapture {
 public:
  std::FILE* stream() { return memory_.stream(); }
  std::string text() { return memory_.text(); }

 private:
  MemoryStream memory_;
};
