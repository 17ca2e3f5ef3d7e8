// Independent checks of written PNGs: pngcheck for the structure,
// ImageMagick for the pixels, a chunk reader for IHDR/PLTE/tRNS, and a
// reference decoder applying the colour and alpha rules of doc/output-files.md to a TIM.
#pragma once

#include <filesystem>
#include <string>

#include "tests/tim_builder.h"

namespace vexlo::test {

// Why the checks cannot run here; empty when pngcheck and ImageMagick exist.
std::string png_tools_missing();
// True when pngcheck accepts `file`.
bool pngcheck_ok(const std::filesystem::path& file);
// `file` decoded by ImageMagick to 8-bit RGBA (or RGB); empty on failure.
Bytes magick_pixels(const std::filesystem::path& file, bool rgb = false);

struct PngInfo {
  int depth = 0, colour_type = 0;
  Bytes plte, trns;
};
PngInfo read_png_info(const Bytes& png);

// The TIM at offset 0 of `tim` as RGBA by the PNG rules, or as RGB by the
// bitmap rules, with CLUT row `row`; `width` overrides the header's. With
// `plte`/`trns`, also the palette and alphas the row should give.
Bytes expected_pixels(const Bytes& tim, int row, bool bitmap = false,
                      uint32_t width = 0, Bytes* plte = nullptr,
                      Bytes* trns = nullptr);

}  // namespace vexlo::test
