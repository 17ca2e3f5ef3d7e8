#include "convert/bmp.h"

#include <cstdio>
#include <new>

#include "convert/pixels.h"

namespace vexlo {

std::array<uint8_t, 3> split_colour(uint16_t v) {
  const Rgba c = console_colour(v, Target::kBitmap);
  return {c.b, c.g, c.r};
}

std::array<uint8_t, 3> clut_colour(const TimInfo& info, int k) {
  if (info.clut_block.empty() &&
      (info.bits_per_pixel == 4 || info.bits_per_pixel == 8)) {
    // No palette in the TIM: the same grey ramp the decoder uses.
    const int i = k & (info.bits_per_pixel == 4 ? 15 : 255);
    const uint8_t grey =
        static_cast<uint8_t>(info.bits_per_pixel == 4 ? 17 * i : i);
    return {grey, grey, grey};
  }
  return split_colour(clut_entry(info, 0, k));
}

BmpStatus build_bmp(const TimInfo& info, std::vector<uint8_t>& out,
                    int32_t clut_row) {
  switch (check_pixels(info)) {
    case PixelStatus::kOk:
      break;
    case PixelStatus::kUnsupported:
      return BmpStatus::kUnsupported;
    case PixelStatus::kTruncated:
      return BmpStatus::kTruncated;
    case PixelStatus::kTooLarge:
      return BmpStatus::kTooLarge;
  }
  const uint64_t w = static_cast<uint64_t>(info.width);
  const uint64_t h = static_cast<uint64_t>(info.height);
  const uint64_t row = (w * 3 + 3) & ~uint64_t{3};
  const uint64_t image_size = row * h;
  const uint64_t file_size = kBmpHeaderSize + image_size;
  std::vector<Rgba> line;
  try {
    out.assign(static_cast<std::size_t>(file_size), 0);
    line.resize(static_cast<std::size_t>(w));
  } catch (const std::bad_alloc&) {
    return BmpStatus::kTooLarge;
  }

  uint8_t* hdr = out.data();
  hdr[0] = 'B';
  hdr[1] = 'M';
  write_u32le(hdr + 2, static_cast<uint32_t>(file_size));
  write_u32le(hdr + 10, kBmpHeaderSize);
  write_u32le(hdr + 14, 40);
  write_u32le(hdr + 18, static_cast<uint32_t>(w));
  write_u32le(hdr + 22, static_cast<uint32_t>(h));
  write_u16le(hdr + 26, 1);
  write_u16le(hdr + 28, 24);
  write_u32le(hdr + 34, static_cast<uint32_t>(image_size));

  const PixelReader reader(info, clut_row, Target::kBitmap);
  for (uint64_t y = 0; y < h; ++y) {
    reader.colours(static_cast<uint32_t>(y), line.data());
    // TIM row 0 is the top of the picture, the last row of a bottom-up file.
    uint8_t* dst = hdr + kBmpHeaderSize + (h - 1 - y) * row;
    for (const Rgba& c : line) {
      *dst++ = c.b;
      *dst++ = c.g;
      *dst++ = c.r;
    }
  }
  return BmpStatus::kBuilt;
}

}  // namespace vexlo
