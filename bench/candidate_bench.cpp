// Bytes per second of the candidate search over in-memory buffers, beside
// the straightforward loop that tests every offset; and of the whole scan of
// a buffer with each setting of looseflags and strict.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "extract/run.h"
#include "scan/candidate.h"
#include "scan/stream_scan.h"
#include "tim/tim.h"

namespace {

using vexlo::CandidateCursor;
using vexlo::CandidateKernel;

constexpr std::size_t kSize = std::size_t{16} << 20;

enum Input { kRandom, kTenWord, kAllTen, kZero, kNearMiss };
const char* const kInputNames[] = {"random", "ten_word", "all_ten", "zero",
                                   "near_miss"};

const std::vector<uint8_t>& input(int kind) {
  static std::vector<uint8_t> made[5];
  std::vector<uint8_t>& v = made[kind];
  if (!v.empty()) return v;
  v.assign(kSize, 0);
  switch (kind) {
    case kRandom: {
      std::mt19937_64 rng(1);
      for (std::size_t i = 0; i + 8 <= kSize; i += 8) {
        const uint64_t x = rng();
        std::memcpy(&v[i], &x, 8);
      }
      break;
    }
    case kTenWord:
      for (std::size_t i = 0; i < kSize; i += 4) v[i] = 0x10;
      break;
    case kAllTen:
      std::memset(v.data(), 0x10, kSize);
      break;
    case kZero:
      break;
    case kNearMiss: {
      static const uint8_t rec[12] = {0x10, 0, 0, 0, 8, 0, 0, 0, 45, 0, 0, 0};
      for (std::size_t i = 0; i < kSize; ++i) v[i] = rec[i % sizeof rec];
      break;
    }
  }
  return v;
}

// The loop the scan had before: every offset tested on its own.
void BM_PerOffset(benchmark::State& state) {
  const auto& v = input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::size_t hits = 0;
    for (std::size_t off = 0; off + vexlo::kTimHeaderSize <= v.size(); ++off)
      hits += vexlo::tim_header_candidate(v.data() + off);
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * v.size()));
  state.SetLabel(kInputNames[state.range(0)]);
}

template <CandidateKernel kernel, bool kPacked = false>
void BM_Cursor(benchmark::State& state) {
  if (!vexlo::candidate_kernel_available(kernel)) {
    state.SkipWithError("kernel not available on this CPU or build");
    return;
  }
  const auto& v = input(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    CandidateCursor c(v, 0, v.size(), kernel, {.packed = kPacked});
    std::size_t hits = 0;
    while (c.next() < v.size()) ++hits;
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * v.size()));
  state.SetLabel(kInputNames[state.range(0)]);
}

// scan_buffer with output off; range(1) is looseflags + 2 * strict. None of
// the inputs holds a TIM, so nothing is printed.
void BM_Scan(benchmark::State& state) {
  const auto& v = input(static_cast<int>(state.range(0)));
  const int keys = static_cast<int>(state.range(1));
  vexlo::Run run;
  run.settings.writebmp = false;
  run.settings.looseflags = (keys & 1) != 0;
  run.settings.strict = (keys & 2) != 0;
  for (auto _ : state) vexlo::scan_buffer(run, v);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * v.size()));
  static const char* const kKeys[] = {"plain", "looseflags", "strict", "both"};
  state.SetLabel(std::string(kInputNames[state.range(0)]) + " " + kKeys[keys]);
}

double fastest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

#define VEXLO_INPUTS DenseRange(kRandom, kNearMiss)

// Compare with the fastest of several repetitions, which a shared machine
// disturbs least: --benchmark_filter=Scan --benchmark_repetitions=9
BENCHMARK(BM_Scan)
    ->ArgsProduct({benchmark::CreateDenseRange(kRandom, kNearMiss, 1),
                   benchmark::CreateDenseRange(0, 3, 1)})
    ->ComputeStatistics("min", fastest);

BENCHMARK(BM_PerOffset)->VEXLO_INPUTS;
BENCHMARK(BM_Cursor<CandidateKernel::kPortable>)->VEXLO_INPUTS;
BENCHMARK(BM_Cursor<CandidateKernel::kSse2>)->VEXLO_INPUTS;
BENCHMARK(BM_Cursor<CandidateKernel::kAvx2>)->VEXLO_INPUTS;
BENCHMARK(BM_Cursor<CandidateKernel::kAvx512>)->VEXLO_INPUTS;
// The same with packed headers looked for too (unpack).
BENCHMARK(BM_Cursor<CandidateKernel::kSse2, true>)->VEXLO_INPUTS;
BENCHMARK(BM_Cursor<CandidateKernel::kAvx2, true>)->VEXLO_INPUTS;
BENCHMARK(BM_Cursor<CandidateKernel::kAvx512, true>)->VEXLO_INPUTS;

}  // namespace

BENCHMARK_MAIN();
