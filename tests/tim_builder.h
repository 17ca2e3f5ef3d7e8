// Builds TIM byte images for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexlo::test {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v);
void put32(Bytes& b, uint32_t v);

struct TimLayout {
  uint32_t flags = 0x08;
  // CLUT block: written when flags has bit 3. `clut_len` 0 means the
  // natural length 12 + 2 * entries.
  uint32_t clut_len = 0;
  uint16_t clut_w = 16, clut_h = 1;
  std::vector<uint16_t> clut = {};  // entries; padded with zeros to the length
  // Image block: `image_len` 0 means 12 + pixels.size().
  uint32_t image_len = 0;
  uint16_t w = 1, h = 1;
  Bytes pixels = {};
};

Bytes make_tim(const TimLayout& layout);

// A valid 4-bit TIM of 32x16 pixels: 320 bytes.
Bytes tim_4bit_32x16();

// `pad` bytes of `fill`, then `tim`, then `tail` bytes of `fill`.
Bytes embed(const Bytes& tim, std::size_t pad, std::size_t tail,
            uint8_t fill = 0xAA);

}  // namespace vexlo::test
