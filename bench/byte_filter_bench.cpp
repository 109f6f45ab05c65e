// Throughput of ByteFilter::filter() on 64 MiB inputs fed in the worker's
// read size, writing a real capture file in a temporary folder, the console
// going to /dev/null. Bytes per second count input bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench_input.h"
#include "capture/byte_filter.h"
#include "capture/capture_file.h"
#include "testing/temp_dir.h"

namespace {

constexpr size_t kInputSize = 64 << 20;

void runFilter(benchmark::State& state, const std::string& input, const FilterSettings& settings) {
  TempDir dir;
  const std::string path = dir.file("capture.spt");
  std::FILE* console = std::fopen("/dev/null", "w");
  if (console == nullptr) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  for (auto _ : state) {
    state.PauseTiming();
    // A fresh file each time, so the page cache holds one run's output.
    ::unlink(path.c_str());
    CaptureFile file(console);
    if (file.open(path.c_str()) != 0) {
      state.SkipWithError("cannot open the capture file");
      break;
    }
    FilterState filterState;
    filterState.inSegment = settings.beginMarker == 0 && settings.endMarker == 0;
    ByteFilter filter(settings, filterState, file, console);
    state.ResumeTiming();

    for (size_t at = 0; at < input.size(); at += bench_input::kReadSize) {
      size_t length = std::min(bench_input::kReadSize, input.size() - at);
      if (filter.filter(data + at, length) == FilterVerdict::kEnd) {
        state.SkipWithError("the input ended the capture");
        break;
      }
    }
    file.close();
    benchmark::DoNotOptimize(filterState.totalByteInFile);
    if (file.error() != 0) {
      state.SkipWithError("write error");
      break;
    }
  }
  std::fclose(console);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void BM_TextLines(benchmark::State& state) {
  static const std::string input = bench_input::textLines(kInputSize);
  runFilter(state, input, FilterSettings{});
}

void BM_RandomBytes(benchmark::State& state) {
  static const std::string input = bench_input::randomBytes(kInputSize);
  runFilter(state, input, FilterSettings{});
}

// "-mh": segments between '^' markers, the filter starting outside one.
void BM_MarkedSegments(benchmark::State& state) {
  static const std::string input = bench_input::markedText(kInputSize);
  FilterSettings settings;
  settings.beginMarker = settings.endMarker = '^';
  runFilter(state, input, settings);
}

// The floor: the text lines copied into the capture file unfiltered, in
// the same reads. What the filter costs is its time beyond this.
void BM_CopyOnly(benchmark::State& state) {
  static const std::string input = bench_input::textLines(kInputSize);
  TempDir dir;
  const std::string path = dir.file("capture.spt");
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(path.c_str());
    CaptureFile file(stderr);
    if (file.open(path.c_str()) != 0) {
      state.SkipWithError("cannot open the capture file");
      break;
    }
    state.ResumeTiming();
    for (size_t at = 0; at < input.size(); at += bench_input::kReadSize) {
      size_t length = std::min(bench_input::kReadSize, input.size() - at);
      std::memcpy(file.space(length), data + at, length);
      file.commit(file.space(0) + length);
    }
    file.close();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TextLines)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RandomBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MarkedSegments)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
