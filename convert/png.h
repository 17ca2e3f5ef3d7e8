// Writing a TIM as a PNG: indexed with the TIM's own palette and indices for
// 4-bit and 8-bit TIMs, RGBA for 15-bit, RGB for 24-bit. The chunks are
// framed here over zlib's deflate and CRC, row by row, so memory stays
// bounded whatever the image's size.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "tim/tim.h"

namespace vexlo {

// zlib level of written PNGs whose rows reach 4 KiB (smaller ones are
// stored), chosen by the dense benchmark (doc/performance.md); other levels
// can be measured by building with -DVEXLO_PNG_LEVEL=n.
#ifndef VEXLO_PNG_LEVEL
#define VEXLO_PNG_LEVEL 1
#endif
constexpr int kPngLevel = VEXLO_PNG_LEVEL;

// The eight bytes every PNG file starts with.
constexpr uint8_t kPngSignature[8] = {0x89, 'P',  'N',  'G',
                                      '\r', '\n', 0x1A, '\n'};

// Takes the next bytes of the file; false ends the encoding.
using ByteSink = std::function<bool(std::span<const uint8_t>)>;

// Encodes the PNG of `info`, which must have passed check_pixels, with the
// palette of CLUT row `clut_row` for a 4-bit or 8-bit TIM, compressed at
// `level` (rows under 4 KiB are stored). Hands the file to `sink` in pieces.
// False when the sink refused bytes or zlib failed.
bool encode_png(const TimInfo& info, int32_t clut_row, int level,
                const ByteSink& sink);

}  // namespace vexlo
