#include "scan/tim.h"

namespace vexlo {

const char* const kModeNames[kModeCount] = {
    "4-bit CLUT", "8-bit CLUT", "15-bit direct", "24-bit direct", "Mixed"};

namespace {

// 12 + 2 * w * h for the w and h fields of the block header at `block`.
uint64_t natural_length(const uint8_t* block) {
  return kBlockHeaderSize +
         2 * uint64_t{read_u16le(block + 8)} * uint64_t{read_u16le(block + 10)};
}

}  // namespace

bool blocks_consistent(const TimInfo& info) {
  const std::span<const uint8_t> image = info.image_block;
  if (image.size() < kBlockHeaderSize) return false;
  const uint64_t image_len = read_u32le(image.data());
  const uint64_t natural = natural_length(image.data());
  // Several games pad the image block by 2 bytes.
  if (image_len != natural && image_len != natural + 2) return false;
  const std::span<const uint8_t> clut = info.clut_block;
  if (clut.empty()) return true;
  return clut.size() >= kBlockHeaderSize &&
         read_u32le(clut.data()) == natural_length(clut.data());
}

std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                       std::size_t off,
                                       const ExamineOptions& options) {
  const std::size_t size = data.size();
  if (off >= size || size - off < kTimHeaderSize) return std::nullopt;
  const uint8_t* tim = data.data() + off;
  if (options.looseflags) {
    if (tim[0] != 0x10 || tim[1] != 0 || tim[2] != 0 || tim[3] != 0)
      return std::nullopt;
  } else if (!tim_header_candidate(tim)) {
    return std::nullopt;
  }

  const uint8_t flags = tim[4];
  const int32_t mode = flags & 7;
  if (mode > 4) return std::nullopt;
  const int32_t typefilter = options.typefilter;
  if (typefilter != -1 && mode != typefilter) return std::nullopt;

  const bool clut_bit = (flags & 8) != 0;
  int32_t bpp = 0;
  uint32_t expected_clut = 0;
  // A 4-bit or 8-bit TIM whose palette lives in another file.
  bool no_palette = false;
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
  } else if (options.looseflags && mode <= 1 && !clut_bit) {
    bpp = mode == 0 ? 4 : 8;
    no_palette = true;
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
  // `10 00 00 00 00 00 00 00` is everywhere in data: without a CLUT to
  // check, only an exact image length lets such a header through.
  if (no_palette && image_len != natural_length(image)) return std::nullopt;
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
  if (options.strict && !blocks_consistent(result.info)) return std::nullopt;
  return result;
}

}  // namespace vexlo
