// Reading back the pictures an editor saved: PNG (8-bit RGB, RGBA, grey,
// grey+alpha; palette images of 1, 2, 4 or 8 bits with PLTE and tRNS;
// interlaced or not) and uncompressed 24- or 32-bit BMP. Only pictures of
// the expected size are decoded, so no claimed size is ever allocated.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/pixels.h"

namespace vexlo {

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  // A palette PNG: `palette` holds its PLTE entries (alpha from tRNS, else
  // 255) and `index` one entry per pixel.
  bool indexed = false;
  std::vector<Rgba> palette;
  std::vector<uint8_t> index;
  // Every pixel's colour, row by row from the top; alpha 255 in a picture
  // without alpha.
  std::vector<Rgba> pixels;
};

// Decodes `file` into `out` when it is a PNG or BMP of exactly `width` x
// `height`. Otherwise returns why not, as words that follow the file's
// name ("is 32x32, the TIM is 32x16", "is not a PNG this program reads
// (16-bit samples)"); empty on success.
std::string read_picture(std::span<const uint8_t> file, uint32_t width,
                         uint32_t height, Picture& out);

}  // namespace vexlo
