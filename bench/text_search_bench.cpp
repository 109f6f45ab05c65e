// Throughput of TextSearch::find(), the search of --end-on and --expect
// texts, on 64 MiB of text lines fed in the worker's read size: it runs on
// every byte read beside the filter (build/bench/byte_filter_bench), so the
// two figures compare. Bytes per second count input bytes.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_input.h"
#include "capture/text_search.h"

namespace {

constexpr size_t kInputSize = 64 << 20;

void runSearch(benchmark::State& state, const std::string& text) {
  static const std::string input = bench_input::textLines(kInputSize);
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  size_t found = 0;
  for (auto _ : state) {
    TextSearch search(text);
    for (size_t at = 0; at < input.size(); at += bench_input::kReadSize) {
      const size_t length = std::min(bench_input::kReadSize, input.size() - at);
      for (size_t done = 0; done < length;) {
        const size_t n = search.find(data + at + done, length - done);
        if (n == TextSearch::kNotFound) break;
        done += n;
        ++found;
      }
    }
  }
  benchmark::DoNotOptimize(found);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

// A board's prompts: short, of common letters; the longer a text, the
// further the search skips.
void BM_LoginPrompt(benchmark::State& state) {
  runSearch(state, "login: ");
}
void BM_ShortPrompt(benchmark::State& state) {
  runSearch(state, "=> ");
}
void BM_ReportLine(benchmark::State& state) {
  runSearch(state, "ALL TESTS PASSED");
}

BENCHMARK(BM_LoginPrompt)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShortPrompt)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReportLine)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
