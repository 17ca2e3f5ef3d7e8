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
