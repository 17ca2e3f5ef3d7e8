// Unpacking speed per scheme, in bytes of output per second on one core:
// streams of 1 MiB holding TIMs whose pixels pack about as game textures
// do, packed by the test encoders. Also the cost of turning down the false
// candidates of random data.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "packed/packed.h"
#include "tests/packed_builder.h"
#include "tests/tim_builder.h"

namespace {

using vexlo::PackedScheme;
using vexlo::test::Bytes;

// 1 MiB of 4-bit 64x64 TIMs with runs and repeats in their pixels.
const Bytes& textures() {
  static const Bytes made = [] {
    Bytes out;
    for (uint32_t i = 0; out.size() < (1u << 20); ++i) {
      vexlo::test::TimLayout t;
      t.w = 16;
      t.h = 64;
      t.pixels = vexlo::test::compressible(2048, i);
      const Bytes tim = vexlo::test::make_tim(t);
      out.insert(out.end(), tim.begin(), tim.end());
    }
    out.resize(1u << 20);
    return out;
  }();
  return made;
}

void BM_Unpack(benchmark::State& state) {
  const auto scheme = static_cast<PackedScheme>(state.range(0));
  const Bytes packed = vexlo::test::pack_plain(scheme, textures());
  vexlo::Unpacker u;
  for (auto _ : state) {
    auto s = u.open(packed, 0);
    if (!s) {
      state.SkipWithError("did not open");
      return;
    }
    benchmark::DoNotOptimize(s->unpacked.data());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * textures().size()));
  state.SetLabel(std::string(vexlo::packed_scheme_name(scheme)) + ", " +
                 std::to_string(packed.size() * 100 / textures().size()) +
                 "% of its size packed");
}

// Every offset of 16 MiB of random bytes whose first two bytes can begin a
// header, opened and turned down (the search itself not counted): bytes
// of input per second.
void BM_FalseCandidates(benchmark::State& state) {
  static const Bytes data = [] {
    Bytes v(16u << 20);
    std::mt19937_64 rng(1);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
  }();
  std::vector<std::size_t> at;
  for (std::size_t off = 0; off + 1 < data.size(); ++off)
    if (vexlo::packed_pair_candidate(data[off], data[off + 1]))
      at.push_back(off);
  vexlo::Unpacker u;
  std::size_t opened = 0;
  for (auto _ : state)
    for (std::size_t off : at) opened += u.open(data, off).has_value();
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * data.size()));
  state.counters["candidates"] = static_cast<double>(at.size());
  state.counters["opened"] = static_cast<double>(opened);
}

BENCHMARK(BM_Unpack)->DenseRange(0, vexlo::kPackedSchemeCount - 1);
BENCHMARK(BM_FalseCandidates);

}  // namespace

BENCHMARK_MAIN();
