#include "convert/bmp.h"

#include <cstdio>
#include <new>

#include "driver/output_file.h"

namespace vexlo {

namespace {

void put_u16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
  put_u16(p, v & 0xFFFF);
  put_u16(p + 2, v >> 16);
}

// Bytes of pixel data that W x H pixels of a mode take, in 64 bits.
uint64_t pixel_bytes(int32_t bpp, uint64_t pixels) {
  switch (bpp) {
    case 4:
      return (pixels + 1) / 2;
    case 8:
      return pixels;
    case 15:
      return pixels * 2;
    default:
      return pixels * 3;
  }
}

}  // namespace

std::array<uint8_t, 3> split_colour(uint16_t v) {
  return {static_cast<uint8_t>(((v >> 10) & 31) << 3),
          static_cast<uint8_t>(((v >> 5) & 31) << 3),
          static_cast<uint8_t>((v & 31) << 3)};
}

std::array<uint8_t, 3> clut_colour(const TimInfo& info, int k) {
  if (info.clut_block.empty() &&
      (info.bits_per_pixel == 4 || info.bits_per_pixel == 8)) {
    const int i = k & (info.bits_per_pixel == 4 ? 15 : 255);
    const uint8_t grey =
        static_cast<uint8_t>(info.bits_per_pixel == 4 ? 17 * i : i);
    return {grey, grey, grey};
  }
  const std::size_t at =
      kBlockHeaderSize + 2 * static_cast<std::size_t>(k & 255);
  if (info.clut_block.size() < at + 2) return {0, 0, 0};
  return split_colour(read_u16le(info.clut_block.data() + at));
}

BmpStatus build_bmp(const TimInfo& info, std::vector<uint8_t>& out) {
  if (info.mode > 3) return BmpStatus::kUnsupported;
  const uint64_t w = static_cast<uint64_t>(info.width);
  const uint64_t h = static_cast<uint64_t>(info.height);
  const uint64_t pixels = w * h;  // at most 65535^2: no overflow in 64 bits
  const std::span<const uint8_t> image = info.image_block;
  if (image.size() < kBlockHeaderSize ||
      image.size() - kBlockHeaderSize <
          pixel_bytes(info.bits_per_pixel, pixels))
    return BmpStatus::kTruncated;
  const uint64_t row = (w * 3 + 3) & ~uint64_t{3};
  const uint64_t image_size = row * h;
  const uint64_t file_size = kBmpHeaderSize + image_size;
  if (file_size > UINT32_MAX) return BmpStatus::kTooLarge;
  try {
    out.assign(static_cast<std::size_t>(file_size), 0);
  } catch (const std::bad_alloc&) {
    return BmpStatus::kTooLarge;
  }

  uint8_t* hdr = out.data();
  hdr[0] = 'B';
  hdr[1] = 'M';
  put_u32(hdr + 2, static_cast<uint32_t>(file_size));
  put_u32(hdr + 10, kBmpHeaderSize);
  put_u32(hdr + 14, 40);
  put_u32(hdr + 18, static_cast<uint32_t>(w));
  put_u32(hdr + 22, static_cast<uint32_t>(h));
  put_u16(hdr + 26, 1);
  put_u16(hdr + 28, 24);
  put_u32(hdr + 34, static_cast<uint32_t>(image_size));

  // Pixels are one continuous run from the start of the image data, whatever
  // the block's length says; the bounds check above covers all of them.
  const uint8_t* src = image.data() + kBlockHeaderSize;
  std::array<std::array<uint8_t, 3>, 256> clut{};
  if (info.bits_per_pixel <= 8)
    for (int k = 0; k < 256; ++k) clut[k] = clut_colour(info, k);

  uint64_t i = 0;
  for (uint64_t y = 0; y < h; ++y) {
    // TIM row 0 is the top of the picture, the last row of a bottom-up file.
    uint8_t* dst = hdr + kBmpHeaderSize + (h - 1 - y) * row;
    for (uint64_t x = 0; x < w; ++x, ++i, dst += 3) {
      std::array<uint8_t, 3> bgr;
      switch (info.bits_per_pixel) {
        case 4: {
          const uint8_t b = src[i / 2];
          bgr = clut[(i & 1) ? (b >> 4) : (b & 15)];
          break;
        }
        case 8:
          bgr = clut[src[i]];
          break;
        case 15:
          bgr = split_colour(read_u16le(src + 2 * i));
          break;
        default: {
          const uint8_t* p = src + 3 * i;
          bgr = {p[2], p[1], p[0]};
          break;
        }
      }
      dst[0] = bgr[0];
      dst[1] = bgr[1];
      dst[2] = bgr[2];
    }
  }
  return BmpStatus::kBuilt;
}

std::string bmp_name(const Run& run) {
  const Settings& s = run.settings;
  char tail[64];
  if (!s.numbyoffset) {
    std::snprintf(tail, sizeof tail, "%i.bmp", run.tim_counter);
    return s.outname + tail;
  }
  std::snprintf(tail, sizeof tail, "_%010i.bmp", run.last_offset);
  std::string name = s.outname + tail;
  if (run.bmp_names.count(name) != 0) {
    std::snprintf(tail, sizeof tail, "_%010i_%i.bmp", run.last_offset,
                  run.tim_counter);
    name = s.outname + tail;
  }
  return name;
}

void write_bmp_file(Run& run, const std::vector<uint8_t>& bitmap) {
  const std::string name = bmp_name(run);
  if (write_output_file(run, name, bitmap) && run.settings.numbyoffset)
    run.bmp_names.insert(name);
}

void convert_to_bmp(Run& run, const TimInfo& info) {
  std::vector<uint8_t> bitmap;
  switch (build_bmp(info, bitmap)) {
    case BmpStatus::kBuilt:
      write_bmp_file(run, bitmap);
      break;
    case BmpStatus::kUnsupported:
      std::printf("Can't write bitmap - tim in unsupported format.\n");
      break;
    case BmpStatus::kTruncated:
      std::printf(
          "Can't write bitmap - pixel data runs past the end of the file.\n");
      break;
    case BmpStatus::kTooLarge:
      std::printf("Can't write bitmap - image too large.\n");
      break;
  }
}

}  // namespace vexlo
