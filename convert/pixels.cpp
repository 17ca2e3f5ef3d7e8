#include "convert/pixels.h"

namespace vexlo {

Rgba console_colour(uint16_t v, Target target) {
  const uint8_t r = v & 31, g = (v >> 5) & 31, b = (v >> 10) & 31;
  if (target == Target::kBitmap)
    return {static_cast<uint8_t>(r << 3), static_cast<uint8_t>(g << 3),
            static_cast<uint8_t>(b << 3), 255};
  auto widen = [](uint8_t c) {
    return static_cast<uint8_t>((c << 3) | (c >> 2));
  };
  uint8_t a = 255;
  if (v == 0x0000)
    a = 0;
  else if (v != 0x8000 && (v & 0x8000) != 0)
    a = 254;  // keeps the STP bit for a conversion back
  return {widen(r), widen(g), widen(b), a};
}

PixelStatus check_pixels(const TimInfo& info) {
  if (info.mode > 3) return PixelStatus::kUnsupported;
  const uint64_t w = static_cast<uint64_t>(info.width);
  const uint64_t h = static_cast<uint64_t>(info.height);
  const std::span<const uint8_t> image = info.image_block;
  // At most 65535^2 pixels: no overflow in 64 bits.
  if (image.size() < kBlockHeaderSize ||
      image.size() - kBlockHeaderSize < pixel_data_bytes(info))
    return PixelStatus::kTruncated;
  const uint64_t row = (w * 3 + 3) & ~uint64_t{3};
  if (54 + row * h > UINT32_MAX) return PixelStatus::kTooLarge;
  return PixelStatus::kOk;
}

uint16_t clut_entry(const TimInfo& info, int32_t row, int k) {
  const uint64_t at =
      kBlockHeaderSize +
      2 * (static_cast<uint64_t>(row) * entries_per_row(info.bits_per_pixel) +
           static_cast<uint64_t>(k & 255));
  if (info.clut_block.size() < at + 2) return 0;
  return read_u16le(info.clut_block.data() + at);
}

PixelReader::PixelReader(const TimInfo& info, int32_t clut_row, Target target)
    : src_(info.image_block.data() + kBlockHeaderSize),
      bpp_(info.bits_per_pixel),
      width_(static_cast<uint32_t>(info.width)),
      height_(static_cast<uint32_t>(info.height)),
      target_(target) {
  if (bpp_ > 8) return;
  palette_size_ = entries_per_row(bpp_);
  const bool grey = info.clut_block.empty() ||
                    (target == Target::kPng && clut_rows(info) == 0);
  for (int k = 0; k < palette_size_; ++k) {
    if (grey) {
      // No palette to keep: a grey ramp over the index range.
      const uint8_t v = static_cast<uint8_t>(bpp_ == 4 ? 17 * k : k);
      palette_[k] = {v, v, v, 255};
    } else {
      palette_[k] = console_colour(clut_entry(info, clut_row, k), target);
    }
  }
}

void PixelReader::indices(uint32_t y, uint8_t* out) const {
  uint64_t i = static_cast<uint64_t>(y) * width_;
  if (bpp_ == 8) {
    for (uint32_t x = 0; x < width_; ++x) out[x] = src_[i + x];
    return;
  }
  // The left pixel is in the low nibble.
  for (uint32_t x = 0; x < width_; ++x, ++i) {
    const uint8_t b = src_[i / 2];
    out[x] = (i & 1) ? (b >> 4) : (b & 15);
  }
}

void PixelReader::colours(uint32_t y, Rgba* out) const {
  const uint64_t first = static_cast<uint64_t>(y) * width_;
  switch (bpp_) {
    case 4:
      for (uint32_t x = 0; x < width_; ++x) {
        const uint64_t i = first + x;
        const uint8_t b = src_[i / 2];
        out[x] = palette_[(i & 1) ? (b >> 4) : (b & 15)];
      }
      break;
    case 8:
      for (uint32_t x = 0; x < width_; ++x) out[x] = palette_[src_[first + x]];
      break;
    case 15:
      for (uint32_t x = 0; x < width_; ++x)
        out[x] = console_colour(read_u16le(src_ + 2 * (first + x)), target_);
      break;
    default:
      for (uint32_t x = 0; x < width_; ++x) {
        const uint8_t* p = src_ + 3 * (first + x);
        out[x] = {p[0], p[1], p[2], 255};
      }
      break;
  }
}

}  // namespace vexlo
