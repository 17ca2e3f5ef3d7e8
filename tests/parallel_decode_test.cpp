// Decoding units on several threads, handed on in order.
#include "disc/parallel_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "disc/holes.h"

namespace vexlo::test {
namespace {

// What the consumer saw of unit n: its bytes, or "damaged".
std::string seen(uint64_t n, std::span<const uint8_t> bytes, bool ok) {
  if (!ok) return std::to_string(n) + ":damaged";
  return std::to_string(n) + ":" + std::string(bytes.begin(), bytes.end());
}

TEST(ParallelDecode, UnitsComeInOrderTheSameForAnyThreadCount) {
  constexpr std::size_t kUnit = 12;
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    for (uint64_t count : {0u, 1u, 5u, 300u}) {
      for (uint64_t stop_at : {~uint64_t{0}, uint64_t{4}}) {
        SCOPED_TRACE(std::to_string(threads) + " threads, " +
                     std::to_string(count) + " units, stop " +
                     std::to_string(stop_at));
        std::atomic<uint64_t> taken{0};
        std::atomic<bool> too_far{false};
        // Unit n holds n % 10 copies of a letter; every seventh is damaged.
        auto make = [&]() -> UnitDecoder {
          return [&](uint64_t n,
                     std::span<uint8_t> out) -> std::optional<std::size_t> {
            if (n > taken + std::max<uint64_t>(8, 4 * threads))
              too_far = true;  // memory would grow with the lead
            if (n % 7 == 3) return std::nullopt;
            const std::size_t k = n % 10;
            std::fill_n(out.begin(), k, static_cast<uint8_t>('a' + n % 26));
            return k;
          };
        };
        std::vector<std::string> got, want;
        for (uint64_t n = 0; n < count && n <= stop_at; ++n)
          want.push_back(seen(
              n,
              std::vector<uint8_t>(n % 10, static_cast<uint8_t>('a' + n % 26)),
              n % 7 != 3));
        const bool all =
            decode_in_order(count, kUnit, threads, make,
                            [&](uint64_t n, std::span<uint8_t> bytes, bool ok) {
                              got.push_back(seen(n, bytes, ok));
                              taken = n + 1;
                              return n != stop_at;
                            });
        EXPECT_EQ(got, want);
        EXPECT_EQ(all, stop_at >= count);
        EXPECT_FALSE(too_far);
      }
    }
  }
}

TEST(StreamHoles, TimsTouchingAHoleAreKnown) {
  StreamHoles holes;
  holes.add(100, 200);  // bytes that are zeros
  holes.add(300, 300);  // bytes missing between 299 and 300
  holes.add(300, 300);
  holes.add(500, 510);
  const struct {
    uint64_t begin, end;
    int64_t want;
  } cases[] = {
      {0, 100, -1},  {0, 101, 0},    {199, 250, 0},  {200, 300, -1},
      {250, 301, 1}, {300, 400, -1}, {299, 300, -1}, {299, 301, 1},
      {505, 506, 3}, {0, 1000, 0},   {510, 900, -1}, {301, 500, -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(holes.first_touched(c.begin, c.end), c.want)
        << c.begin << ".." << c.end;
    EXPECT_EQ(holes.touches(c.begin, c.end), c.want >= 0);
  }
  EXPECT_FALSE(StreamHoles().touches(0, ~uint64_t{0}));
}

}  // namespace
}  // namespace vexlo::test
