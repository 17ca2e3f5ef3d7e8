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

}  // namespace vexlo
