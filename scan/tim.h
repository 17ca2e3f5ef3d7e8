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

// True when the block lengths of an accepted TIM agree with its pixels: the
// image block's length is 12 + 2 * w * h (its w and h fields), or 2 more,
// and a CLUT block's length is 12 + 2 * w * h of the CLUT block's fields,
// all computed in 64 bits. False when a block header is not in the views.
bool blocks_consistent(const TimInfo& info);

}  // namespace vexlo
