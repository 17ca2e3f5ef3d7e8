#include "scan/tim.h"

namespace vexlo {

const char* const kModeNames[kModeCount] = {
    "4-bit CLUT", "8-bit CLUT", "15-bit direct", "24-bit direct", "Mixed"};

std::optional<Examined> examine_offset(std::span<const uint8_t> data,
                                       std::size_t off, int32_t typefilter) {
  if (off >= data.size()) return std::nullopt;
  const uint8_t* tim = data.data() + off;
  uint64_t image_pos = 0;
  auto result =
      examine_tim([tim](uint64_t pos, std::size_t) { return tim + pos; },
                  data.size() - off, typefilter, &image_pos);
  if (!result) return std::nullopt;
  if (result->info.bits_per_pixel == 4 || result->info.bits_per_pixel == 8)
    result->info.clut_block = data.subspan(off + kTimHeaderSize);
  result->info.image_block = data.subspan(off + image_pos);
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
