// TIM layout and recognition at one byte offset of a loaded file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vexlo {

// Little-endian reads. Callers check bounds first; unaligned offsets are the
// normal case, so never cast a pointer into the data.
inline uint16_t read_u16le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t read_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

constexpr std::size_t kTimHeaderSize = 8;
constexpr std::size_t kBlockHeaderSize = 12;
constexpr int kModeCount = 5;

// Names that reports print, indexed by pixel mode.
extern const char* const kModeNames[kModeCount];

// One accepted TIM. The block views start at the block's length field and run
// to the end of the loaded data (not just to the end of the block), so that
// readers can bounds-check anything they take from the data. Valid only while
// the loaded data lives.
struct TimInfo {
  int32_t mode = 0;
  int32_t bits_per_pixel = 0;
  int32_t width = 0;                    // pixels, 1..65535
  int32_t height = 0;                   // pixel rows, 1..65535
  std::span<const uint8_t> clut_block;  // empty when the TIM has no CLUT
  std::span<const uint8_t> image_block;
};

struct Examined {
  TimInfo info;
  uint32_t total = 0;  // 8 + CLUT length + image length, wrapping
  bool multi_clut = false;
};

// True when the 8 bytes at `p` can begin a TIM: id 0x10, a non-zero flags
// low byte and zero flags bytes 1-3. Every other test needs more than these
// bytes, so a scan may skip offsets that fail this one.
inline bool tim_header_candidate(const uint8_t* p) {
  return p[0] == 0x10 && p[1] == 0 && p[2] == 0 && p[3] == 0 && p[4] != 0 &&
         p[5] == 0 && p[6] == 0 && p[7] == 0;
}

// examine_offset's decision for a TIM that has `avail` bytes of data from
// its first byte on, when those bytes need not lie in one span (a disc
// image's sectors). `read(pos, n)` returns a pointer to the n bytes at `pos`
// from the TIM's first byte, valid until the next call; it is called only
// with pos + n <= avail. The result's block views are left empty;
// `*image_pos` gets the image block's position from the TIM's first byte.
template <class Read>
std::optional<Examined> examine_tim(Read&& read, uint64_t avail,
                                    int32_t typefilter, uint64_t* image_pos) {
  if (avail < kTimHeaderSize) return std::nullopt;
  const uint8_t* header = read(0, kTimHeaderSize);
  if (!tim_header_candidate(header)) return std::nullopt;

  const uint8_t flags = header[4];
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
  // All positions below are relative to the TIM and kept in 64 bits, so a
  // CLUT length near 2^32 cannot wrap a position back inside the data.
  uint64_t pos = kTimHeaderSize;
  uint32_t clut_len = 0;
  if (clut_bit) {
    if (avail < kTimHeaderSize + kBlockHeaderSize) return std::nullopt;
    const uint8_t* clut = read(kTimHeaderSize, kBlockHeaderSize);
    clut_len = read_u32le(clut);
    if (clut_len != expected_clut) {
      const uint32_t rows = read_u16le(clut + 10);
      const uint32_t row_bytes = bpp == 4 ? (rows << 5) : (rows << 9);
      if (clut_len != row_bytes + 12) return std::nullopt;
      result.multi_clut = true;
    }
    pos += clut_len;
  }
  if (avail < pos || avail - pos < kBlockHeaderSize) return std::nullopt;
  const uint8_t* image = read(pos, kBlockHeaderSize);
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
  *image_pos = pos;
  return result;
}

// Decides whether a TIM begins at `off` (off < data.size()). Reads only the
// data and never past its end. `typefilter` is -1 for every mode.
std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                       std::size_t off, int32_t typefilter);

// True when the blocks' lengths agree with their contents: the image block's
// length is 12 + 2 * w * h (w and h its own fields, w in 16-bit units) or
// that plus 2, which several real games write; and a CLUT block's length is
// 12 + 2 * its w * its h.
bool blocks_consistent(const TimInfo& info);

}  // namespace vexlo
