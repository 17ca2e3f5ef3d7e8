// Converting a TIM into an uncompressed, upright 24-bit Windows bitmap.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tim/tim.h"

namespace vexlo {

constexpr std::size_t kBmpHeaderSize = 54;

// Blue, green and red bytes of the 15-bit colour value `v` (bit 15 ignored;
// each 5-bit component shifted left by 3, so 31 becomes 248).
std::array<uint8_t, 3> split_colour(uint16_t v);

// Blue, green, red of CLUT entry k (modulo 256) of the first CLUT row. An
// entry that would lie past the loaded data is black. A 4-bit or 8-bit TIM
// without a CLUT block keeps its palette elsewhere: it gets a grey ramp,
// 4-bit index k as grey 17 * k, 8-bit index k as grey k.
std::array<uint8_t, 3> clut_colour(const TimInfo& info, int k);

enum class BmpStatus {
  kBuilt,
  kUnsupported,  // mixed mode
  kTruncated,    // the pixels run past the end of the loaded data
  kTooLarge,     // the file size does not fit 32 bits, or no memory
};

// Builds the whole bitmap file of `info` in `out` (header and rows), with
// the colours of CLUT row `clut_row` for a 4-bit or 8-bit TIM. Touches
// nothing but its arguments.
BmpStatus build_bmp(const TimInfo& info, std::vector<uint8_t>& out,
                    int32_t clut_row = 0);

}  // namespace vexlo
