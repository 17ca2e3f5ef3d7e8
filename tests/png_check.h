// Independent checks of written PNGs: pngcheck for the chunk structure,
// ImageMagick for the pixels, a chunk reader for IHDR, PLTE and tRNS, and a
// reference decoder that applies the colour and alpha rules to a TIM file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/tim_builder.h"

namespace vexlo::test {

// Why the PNG checks cannot run here; empty when pngcheck and ImageMagick
// are both installed.
std::string png_tools_missing();

// pngcheck's verdict on `file`; empty when it is fine, else its output.
std::string pngcheck(const std::filesystem::path& file);

// The picture in `file` as 8-bit RGBA (or RGB with `rgb`), by ImageMagick;
// empty when it cannot decode it.
Bytes magick_pixels(const std::filesystem::path& file, bool rgb = false);

struct PngInfo {
  uint32_t width = 0, height = 0;
  int depth = 0, colour_type = 0;
  Bytes plte, trns;
};
PngInfo read_png_info(const Bytes& png);

// What a TIM file (the TIM at offset 0 of `tim`) should look like: RGBA by
// the PNG rules, or with `bitmap` RGB by the bitmap rules (alpha dropped),
// with the palette of CLUT row `row`. `width` overrides the header's.
Bytes expected_pixels(const Bytes& tim, int row, bool bitmap = false,
                      uint32_t width = 0);
// The PLTE and tRNS bytes a TIM's CLUT row should give.
void expected_palette(const Bytes& tim, int row, Bytes* plte, Bytes* trns);

}  // namespace vexlo::test
