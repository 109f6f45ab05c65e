// sercap-filter-file: runs the byte filter over a file into a capture file,
// reading it in the worker's read size, the console going to /dev/null.
// It also makes the benchmark inputs, so scripts use the same data as the
// Google Benchmark.
//
//   sercap-filter-file [--per-byte] [--markers] INPUT CAPTURE
//   sercap-filter-file --make text|random|marked SIZE > FILE
//
// --per-byte hands the filter one byte at a time through filterByte(): the
// reference the block path must match. --markers splits at '^' like "-mh".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bench_input.h"
#include "capture/byte_filter.h"
#include "capture/capture_file.h"

namespace {

int usage() {
  std::fputs(
      "usage: sercap-filter-file [--per-byte] [--markers] INPUT CAPTURE\n"
      "       sercap-filter-file --make text|random|marked SIZE\n",
      stderr);
  return 2;
}

int make(const char* kind, const char* sizeText) {
  char* end = nullptr;
  unsigned long long size = std::strtoull(sizeText, &end, 10);
  if (end == sizeText || *end != '\0') return usage();
  std::string data;
  if (!bench_input::make(kind, size, data)) return usage();
  if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout) != 0) {
    std::perror("sercap-filter-file: write");
    return 1;
  }
  return 0;
}

int filterFile(const char* inputPath, const char* capturePath, bool perByte, bool markers) {
  int in = ::open(inputPath, O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    std::fprintf(stderr, "sercap-filter-file: %s: %s\n", inputPath, std::strerror(errno));
    return 1;
  }
  std::FILE* console = std::fopen("/dev/null", "w");
  if (console == nullptr) return 1;
  FilterSettings settings;
  if (markers) settings.beginMarker = settings.endMarker = '^';
  FilterState state;
  state.inSegment = !markers;
  CaptureFile file(console);
  if (int error = file.open(capturePath); error != 0) {
    std::fprintf(stderr, "sercap-filter-file: %s: %s\n", capturePath, std::strerror(error));
    return 1;
  }
  ByteFilter filter(settings, state, file, console);

  static uint8_t buffer[bench_input::kReadSize];
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "sercap-filter-file: read: %s\n", std::strerror(errno));
      return 1;
    }
    if (n == 0) break;
    FilterVerdict verdict = FilterVerdict::kContinue;
    if (perByte) {
      for (ssize_t i = 0; i < n && verdict == FilterVerdict::kContinue; ++i) {
        verdict = filter.filterByte(buffer[i]);
      }
    } else {
      verdict = filter.filter(buffer, static_cast<size_t>(n));
    }
    if (verdict == FilterVerdict::kEnd) break;
  }
  ::close(in);
  file.close();
  std::fclose(console);
  if (file.error() != 0) {
    std::fprintf(stderr, "sercap-filter-file: %s: %s\n", capturePath, std::strerror(file.error()));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool perByte = false;
  bool markers = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    std::string_view option = argv[i];
    if (option == "--make") {
      return i + 3 == argc ? make(argv[i + 1], argv[i + 2]) : usage();
    } else if (option == "--per-byte") {
      perByte = true;
    } else if (option == "--markers") {
      markers = true;
    } else {
      return usage();
    }
  }
  if (argc - i != 2) return usage();
  return filterFile(argv[i], argv[i + 1], perByte, markers);
}
