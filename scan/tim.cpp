#include "scan/tim.h"

namespace vexlo {

const char* const kModeNames[kModeCount] = {
    "4-bit CLUT", "8-bit CLUT", "15-bit direct", "24-bit direct", "Mixed"};

std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                       std::size_t off, int32_t typefilter) {
  const std::size_t size = data.size();
  if (off >= size || size - off < kTimHeaderSize) return std::nullopt;
  const uint8_t* tim = data.data() + off;
  if (!tim_header_candidate(tim)) return std::nullopt;

  const uint8_t flags = tim[4];
  const int32_t mode = flags & 7;
  if (mode > 4) return std::nullopt;
  if (typefilter != -1 && mode != typefilter) return std::nullopt;

  const bool clut_bit = (flags & 8) != 0;
  int32_t bpp = 0;
  uint32_t expected_clut = 0;
  if (mode == 0 && clut_bit) {
    bpp = 4;
    expected_clut = 44;
  } else if ((mode == 1 || mode == 4) && clut_bit) {
    bpp = 8;
    expected_clut = 524;
  } else if (mode == 2 && !clut_bit) {
    bpp = 15;
  } else if (mode == 3 && !clut_bit) {
    bpp = 24;
  } else {
    return std::nullopt;
  }

  Examined result;
  // All positions below are relative to `off` and kept in 64 bits, so a
  // CLUT length near 2^32 cannot wrap a position back inside the data.
  const uint64_t avail = size - off;
  uint64_t image_pos = kTimHeaderSize;
  uint32_t clut_len = 0;
  if (clut_bit) {
    if (avail < kTimHeaderSize + kBlockHeaderSize) return std::nullopt;
    clut_len = read_u32le(tim + 8);
    if (clut_len != expected_clut) {
      const uint32_t rows = read_u16le(tim + 18);
      const uint32_t row_bytes = bpp == 4 ? (rows << 5) : (rows << 9);
      if (clut_len != row_bytes + 12) return std::nullopt;
      result.multi_clut = true;
    }
    image_pos += clut_len;
  }
  if (avail < image_pos || avail - image_pos < kBlockHeaderSize)
    return std::nullopt;
  const uint8_t* image = tim + image_pos;
  const uint32_t image_len = read_u32le(image);
  result.total = static_cast<uint32_t>(8u + clut_len + image_len);

  const uint32_t w = read_u16le(image + 8);
  uint32_t width = 0;
  switch (bpp) {
    case 4:
      width = (w * 4) & 0xFFFF;
      break;
    case 8:
      width = (w * 2) & 0xFFFF;
      break;
    case 15:
      width = w;
      break;
    default:
      width = w * 2 / 3;
      break;
  }
  if (width == 0) return std::nullopt;
  const uint32_t height = read_u16le(image + 10);
  if (height == 0) return std::nullopt;
  if (result.total > avail) return std::nullopt;

  result.info.mode = mode;
  result.info.bits_per_pixel = bpp;
  result.info.width = static_cast<int32_t>(width);
  result.info.height = static_cast<int32_t>(height);
  if (clut_bit) result.info.clut_block = data.subspan(off + kTimHeaderSize);
  result.info.image_block = data.subspan(off + image_pos);
  return result;
}

namespace {

// 12 + 2 * w * h of the block at `block`, in 64 bits: no field can wrap it.
uint64_t natural_length(std::span<const uint8_t> block) {
  const uint8_t* p = block.data();
  return kBlockHeaderSize +
         2 * uint64_t{read_u16le(p + 8)} * uint64_t{read_u16le(p + 10)};
}

}  // namespace

bool blocks_consistent(const TimInfo& info) {
  if (info.image_block.size() < kBlockHeaderSize) return false;
  const uint64_t image_len = read_u32le(info.image_block.data());
  const uint64_t image_want = natural_length(info.image_block);
  if (image_len != image_want && image_len != image_want + 2) return false;
  if (info.clut_block.empty()) return true;
  if (info.clut_block.size() < kBlockHeaderSize) return false;
  return read_u32le(info.clut_block.data()) == natural_length(info.clut_block);
}

}  // namespace vexlo
