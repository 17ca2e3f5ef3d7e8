// Where the gallery's frame-buffer view draws a TIM: its image and CLUT as
// rectangles of the console's 1024 x 512 frame buffer of 16-bit units.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "catalogue/catalogue.h"

namespace vexlo {

constexpr int32_t kFrameBufferWidth = 1024;
constexpr int32_t kFrameBufferHeight = 512;

// A rectangle of the frame buffer, in 16-bit units; it may reach past the
// buffer's edges.
struct FbRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t w = 0;
  int32_t h = 0;
  bool operator==(const FbRect&) const = default;
};

// The TIM's image where it loads: at image_x, image_y, its width in 16-bit
// units (from its pixel width and depth), its height.
FbRect image_rect(const CatalogueEntry& e);

// Its CLUT: at clut_x, clut_y, one unit per entry, one row per palette;
// none without a CLUT.
std::optional<FbRect> clut_rect(const CatalogueEntry& e);

// For each rectangle, whether it shares a unit of the frame buffer with
// another one (parts past the edges do not count).
std::vector<bool> overlapping(const std::vector<FbRect>& rects);

}  // namespace vexlo
