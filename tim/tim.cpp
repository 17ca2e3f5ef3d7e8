#include "tim/tim.h"

namespace vexlo {

const char* const kModeNames[kModeCount] = {
    "4-bit CLUT", "8-bit CLUT", "15-bit direct", "24-bit direct", "Mixed"};

bool blocks_consistent(const TimInfo& info) {
  const std::span<const uint8_t> image = info.image_block;
  if (image.size() < kBlockHeaderSize) return false;
  const std::span<const uint8_t> clut = info.clut_block;
  if (!clut.empty() && clut.size() < kBlockHeaderSize) return false;
  return block_lengths_agree(clut.empty() ? nullptr : clut.data(),
                             image.data());
}

std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                       std::size_t off,
                                       const ExamineOptions& options) {
  if (off >= data.size()) return std::nullopt;
  const uint8_t* tim = data.data() + off;
  uint64_t image_pos = 0;
  auto result =
      examine_tim([tim](uint64_t pos, std::size_t) { return tim + pos; },
                  data.size() - off, options, &image_pos);
  if (result) attach_blocks(result->info, data.subspan(off), image_pos);
  return result;
}

int32_t clut_rows(const TimInfo& info) {
  if (info.bits_per_pixel > 8 || info.clut_block.size() < kBlockHeaderSize)
    return 0;
  const uint32_t len = read_u32le(info.clut_block.data());
  if (len < kBlockHeaderSize) return 0;
  return static_cast<int32_t>((len - kBlockHeaderSize) /
                              (2u * entries_per_row(info.bits_per_pixel)));
}

}  // namespace vexlo
