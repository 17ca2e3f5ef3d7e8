// A shortest-path parse of bytes into literals, copies and fills, shared by
// the LZ encoders. Each scheme gives a cost model (its token sizes in
// sixteenths of a bit); the parse finds matches with hash chains of bounded
// depth and picks, block by block, the cheapest sequence of tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexlo {

struct LzOp {
  enum Kind : uint8_t { kLiteral, kCopy, kFill } kind = kLiteral;
  uint32_t len = 1;   // bytes of output
  uint32_t dist = 0;  // copies: distance back (1 = the byte before)
};

inline constexpr uint32_t kNoCost = 0xFFFFFFFFu;

// One kind of copy token: distances up to `max_dist`, lengths in
// [min_len, max_len], `cost` each. Fills use the same shape without the
// distance (a run of one byte value that needs no earlier output).
struct LzToken {
  uint32_t max_dist = 0;
  uint32_t min_len = 0;
  uint32_t max_len = 0;
  uint32_t cost = kNoCost;
};

// What a scheme can express and what each token costs.
struct LzModel {
  uint32_t literal = 9 * 16;
  std::vector<LzToken> copies;  // cheapest first
  std::vector<LzToken> fills;   // cheapest first
};

// Parses `data[begin, end)`. Copies may reach back to `window_begin`
// (<= begin) but never past `end`.
std::vector<LzOp> lz_parse(std::span<const uint8_t> data, std::size_t begin,
                           std::size_t end, std::size_t window_begin,
                           const LzModel& model);

}  // namespace vexlo
