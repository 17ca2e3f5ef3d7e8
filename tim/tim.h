// TIM layout and recognition at one byte offset of a loaded file.
#pragma once

#include <algorithm>
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
inline void write_u16le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void write_u32le(uint8_t* p, uint32_t v) {
  write_u16le(p, static_cast<uint16_t>(v));
  write_u16le(p + 2, static_cast<uint16_t>(v >> 16));
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
  int32_t width = 0;   // pixels, 1..65535
  int32_t height = 0;  // pixel rows, 1..65535
  // Empty when the TIM has no CLUT block. A 4-bit or 8-bit TIM without one
  // (only with looseflags) keeps its palette elsewhere: converters use a
  // grey ramp.
  std::span<const uint8_t> clut_block;
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

// The settings that shape recognition.
struct ExamineOptions {
  int32_t typefilter = -1;  // -1 for every mode
  // Ignore flags bytes 1-3 (common writers leave garbage there), and take
  // 4-bit and 8-bit TIMs without a CLUT block when their image block length
  // is exactly 12 + 2 * w * h.
  bool looseflags = false;
  // Accept only TIMs whose blocks agree with their pixels
  // (blocks_consistent).
  bool strict = false;
};

// 12 + 2 * w * h of the block header at `block`, in 64 bits: no field can
// wrap it.
inline uint64_t natural_block_length(const uint8_t* block) {
  return kBlockHeaderSize +
         2 * uint64_t{read_u16le(block + 8)} * uint64_t{read_u16le(block + 10)};
}

// blocks_consistent on the block headers themselves: `clut` is null without
// a CLUT block.
inline bool block_lengths_agree(const uint8_t* clut, const uint8_t* image) {
  const uint64_t image_len = read_u32le(image);
  const uint64_t natural = natural_block_length(image);
  // Several games pad the image block by 2 bytes.
  if (image_len != natural && image_len != natural + 2) return false;
  return clut == nullptr || read_u32le(clut) == natural_block_length(clut);
}

// examine_offset's decision for a TIM that has `avail` bytes of data from
// its first byte on, when those bytes need not lie in one span (a disc
// image's sectors). `read(pos, n)` returns a pointer to the n bytes at `pos`
// from the TIM's first byte, valid until the next call; it is called only
// with pos + n <= avail. The result's block views are left empty;
// `*image_pos` gets the image block's position from the TIM's first byte,
// which is past kTimHeaderSize exactly when the TIM has a CLUT block.
template <class Read>
std::optional<Examined> examine_tim(Read&& read, uint64_t avail,
                                    const ExamineOptions& options,
                                    uint64_t* image_pos) {
  if (avail < kTimHeaderSize) return std::nullopt;
  const uint8_t* header = read(0, kTimHeaderSize);
  if (options.looseflags) {
    if (header[0] != 0x10 || header[1] != 0 || header[2] != 0 || header[3] != 0)
      return std::nullopt;
  } else if (!tim_header_candidate(header)) {
    return std::nullopt;
  }

  const uint8_t flags = header[4];
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
  // All positions below are relative to the TIM and kept in 64 bits, so a
  // CLUT length near 2^32 cannot wrap a position back inside the data.
  uint64_t pos = kTimHeaderSize;
  uint32_t clut_len = 0;
  uint8_t clut_header[kBlockHeaderSize];  // read() may reuse its buffer
  if (clut_bit) {
    if (avail < kTimHeaderSize + kBlockHeaderSize) return std::nullopt;
    const uint8_t* clut = read(kTimHeaderSize, kBlockHeaderSize);
    std::copy(clut, clut + kBlockHeaderSize, clut_header);
    clut_len = read_u32le(clut_header);
    if (clut_len != expected_clut) {
      const uint32_t rows = read_u16le(clut_header + 10);
      const uint32_t row_bytes = bpp == 4 ? (rows << 5) : (rows << 9);
      if (clut_len != row_bytes + 12) return std::nullopt;
      result.multi_clut = true;
    }
    pos += clut_len;
  }
  if (avail < pos || avail - pos < kBlockHeaderSize) return std::nullopt;
  const uint8_t* image = read(pos, kBlockHeaderSize);
  const uint32_t image_len = read_u32le(image);
  // `10 00 00 00 00 00 00 00` is everywhere in data: without a CLUT to
  // check, only an exact image length lets such a header through.
  if (no_palette && image_len != natural_block_length(image))
    return std::nullopt;
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
  if (options.strict &&
      !block_lengths_agree(clut_bit ? clut_header : nullptr, image))
    return std::nullopt;

  result.info.mode = mode;
  result.info.bits_per_pixel = bpp;
  result.info.width = static_cast<int32_t>(width);
  result.info.height = static_cast<int32_t>(height);
  *image_pos = pos;
  return result;
}

// Decides whether a TIM begins at `off` (off < data.size()). Reads only the
// data and never past its end.
std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                       std::size_t off,
                                       const ExamineOptions& options);

// The documented recognition; `typefilter` is -1 for every mode.
inline std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                              std::size_t off,
                                              int32_t typefilter) {
  return examine_offset(data, off, ExamineOptions{.typefilter = typefilter});
}

// Points the block views of `info`, which examine_tim gave with
// `image_pos`, into `tim`: the data from the TIM's first byte on.
inline void attach_blocks(TimInfo& info, std::span<const uint8_t> tim,
                          uint64_t image_pos) {
  if (image_pos > kTimHeaderSize) info.clut_block = tim.subspan(kTimHeaderSize);
  info.image_block = tim.subspan(static_cast<std::size_t>(image_pos));
}

// Bytes of pixel data that the TIM's width x height pixels take as one
// continuous run, in 64 bits: what converters read from the image data.
inline uint64_t pixel_data_bytes(const TimInfo& info) {
  const uint64_t pixels =
      static_cast<uint64_t>(info.width) * static_cast<uint64_t>(info.height);
  switch (info.bits_per_pixel) {
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

// How far the outputs of a TIM that examine_tim accepted with `image_pos`
// read from its first byte, when `avail` bytes lie there: its size, its
// image block's header, and its pixels when those bytes hold them all (when
// they do not, its pictures are refused on the length alone).
inline uint64_t tim_reach(const Examined& found, uint64_t image_pos,
                          uint64_t avail) {
  uint64_t reach =
      std::max<uint64_t>(found.total, image_pos + kBlockHeaderSize);
  const uint64_t pixels_end =
      image_pos + kBlockHeaderSize + pixel_data_bytes(found.info);
  if (pixels_end <= avail) reach = std::max(reach, pixels_end);
  return reach;
}

// True when the block lengths of an accepted TIM agree with its pixels: the
// image block's length is 12 + 2 * w * h (its w and h fields), or 2 more,
// and a CLUT block's length is 12 + 2 * w * h of the CLUT block's fields,
// all computed in 64 bits. False when a block header is not in the views.
bool blocks_consistent(const TimInfo& info);

// Entries in one CLUT row of a 4-bit or 8-bit TIM.
inline int entries_per_row(int32_t bpp) { return bpp == 4 ? 16 : 256; }

// Number of CLUT rows of a 4-bit or 8-bit TIM's CLUT block (16 or 256
// entries each); 0 without a CLUT block or for a block of length 12.
int32_t clut_rows(const TimInfo& info);

}  // namespace vexlo
