#include "disc/disc_image.h"

#include <algorithm>
#include <cstring>

namespace vexlo {

namespace {

constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

bool has_sync(const uint8_t* sector) {
  return std::memcmp(sector, kSync, sizeof kSync) == 0;
}

}  // namespace

std::size_t sector_data_start(std::span<const uint8_t> sector) {
  if (sector.size() < kRawSectorSize || !has_sync(sector.data())) return 0;
  const uint8_t mode = sector[15];
  if (mode == 1) return 16;
  // Mode 2: the submode byte of the subheader's first copy says the form.
  if (mode == 2 && (sector[18] & 0x20) == 0) return 24;
  return 0;
}

bool is_disc_image(std::span<const uint8_t> file) {
  const std::size_t whole = file.size() / kRawSectorSize;
  if (whole == 0) return false;
  for (std::size_t i = 0; i < whole && i < 4; ++i)
    if (!has_sync(file.data() + i * kRawSectorSize)) return false;
  return true;
}

DiscMap map_disc_image(std::span<const uint8_t> file) {
  DiscMap map;
  map.whole_sectors = file.size() / kRawSectorSize;
  map.segment_start.reserve(map.whole_sectors);
  for (std::size_t i = 0; i < map.whole_sectors; ++i) {
    const std::size_t at = i * kRawSectorSize;
    const std::size_t start =
        sector_data_start(file.subspan(at, kRawSectorSize));
    if (start != 0)
      map.segment_start.push_back(static_cast<uint32_t>(at + start));
  }
  return map;
}

uint32_t raw_offset(const DiscMap& map, std::size_t pos) {
  return map.segment_start[pos / kSectorDataSize] +
         static_cast<uint32_t>(pos % kSectorDataSize);
}

SectorPosition sector_position(const DiscMap& map, std::size_t pos) {
  const uint32_t start = map.segment_start[pos / kSectorDataSize];
  return {static_cast<uint32_t>(start / kRawSectorSize),
          static_cast<uint32_t>(pos % kSectorDataSize)};
}

void copy_stream(std::span<const uint8_t> file, const DiscMap& map,
                 std::size_t pos, std::span<uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t at = pos + done;
    const std::size_t in = at % kSectorDataSize;
    const std::size_t n = std::min(kSectorDataSize - in, out.size() - done);
    std::memcpy(out.data() + done,
                file.data() + map.segment_start[at / kSectorDataSize] + in, n);
    done += n;
  }
}

}  // namespace vexlo
