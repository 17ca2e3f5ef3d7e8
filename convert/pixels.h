// The one pixel decoder behind every image writer: a TIM's pixels as palette
// indices or colours, one picture row at a time, for a chosen CLUT row. The
// writers differ only in how they encode what it gives them.
#pragma once

#include <array>
#include <cstdint>

#include "tim/tim.h"

namespace vexlo {

struct Rgba {
  uint8_t r = 0, g = 0, b = 0, a = 255;
  bool operator==(const Rgba&) const = default;
};

// What the colours are decoded for.
enum class Target {
  // 5-bit components shifted into the top of each byte (31 gives 248), the
  // STP bit ignored, alpha always 255. A CLUT block without rows reads its
  // entries from the bytes that follow it, as bitmaps always have.
  kBitmap,
  // 5-bit components widened to 8 bits ((c << 3) | (c >> 2), so 31 gives
  // 255) with the console's transparency as alpha (see console_colour). A
  // CLUT block without rows gets the grey ramp of a TIM without a CLUT.
  kPng,
};

// The 16-bit colour value `v` (a CLUT entry or a 15-bit pixel) for `target`.
// For kPng: 0x0000 has alpha 0 (never drawn), 0x8000 is opaque black, any
// other value with bit 15 (STP) set has alpha 254 and without it 255.
Rgba console_colour(uint16_t v, Target target);

enum class PixelStatus {
  kOk,
  kUnsupported,  // mixed mode
  kTruncated,    // the pixels run past the end of the loaded data
  kTooLarge,     // its 24-bit bitmap would pass 4 GiB
};

// Whether the W x H pixels of `info` can be decoded. The size limit is the
// bitmap's, so that every image kind refuses the same TIMs.
PixelStatus check_pixels(const TimInfo& info);

// The 16-bit value of CLUT entry k of CLUT row `row`; 0 for an entry that
// would lie past the loaded data.
uint16_t clut_entry(const TimInfo& info, int32_t row, int k);

// Reads the pixels of one TIM that passed check_pixels. Pixels are one
// continuous run of W x H from the start of the image data; picture row y
// holds pixels y*W .. y*W+W-1, and TIM row 0 is the top.
class PixelReader {
 public:
  // `clut_row` chooses the palette of a 4-bit or 8-bit TIM.
  PixelReader(const TimInfo& info, int32_t clut_row, Target target);

  bool indexed() const { return palette_size_ != 0; }
  // 16 or 256 for 4-bit and 8-bit TIMs, else 0.
  int palette_size() const { return palette_size_; }
  const std::array<Rgba, 256>& palette() const { return palette_; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }

  // The W palette indices of picture row y (indexed TIMs only).
  void indices(uint32_t y, uint8_t* out) const;
  // The W colours of picture row y, in any mode.
  void colours(uint32_t y, Rgba* out) const;

 private:
  const uint8_t* src_;
  int32_t bpp_;
  uint32_t width_, height_;
  Target target_;
  int palette_size_ = 0;
  std::array<Rgba, 256> palette_{};
};

}  // namespace vexlo
