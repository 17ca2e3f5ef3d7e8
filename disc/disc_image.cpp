#include "disc/disc_image.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "disc/edc_ecc.h"

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

std::size_t sector_size(SectorFormat format) {
  switch (format) {
    case SectorFormat::k2448:
      return 2448;
    case SectorFormat::k2336:
      return 2336;
    default:
      return kRawSectorSize;
  }
}

std::size_t sector_data_start(std::span<const uint8_t> sector,
                              SectorFormat format) {
  if (format != SectorFormat::k2336) return sector_data_start(sector);
  if (sector.size() < 2336 || (sector[2] & 0x20) != 0) return 0;
  return 8;
}

bool probe_disc_image(std::span<const uint8_t> file, SectorFormat* format) {
  if (is_disc_image(file)) {
    *format = SectorFormat::k2352;
    return true;
  }
  // Two whole sectors at least: a 2352 sector with a sync and anything
  // after it stays plain bytes, as before this probe existed.
  const std::size_t whole_2448 = file.size() / 2448;
  bool synced = whole_2448 > 1;
  for (std::size_t i = 0; synced && i < whole_2448 && i < 4; ++i)
    synced = has_sync(file.data() + i * 2448);
  if (synced) {
    *format = SectorFormat::k2448;
    return true;
  }
  // 2336: nothing marks the sectors, so the subheader copies and one valid
  // EDC keep other files out. A zero-filled sector passes both trivially
  // (the EDC of zeros is zero), and the system area of an ISO image is
  // zeros: the EDC must hold over bytes that are not all zero, and is looked
  // for up to the volume descriptors that follow the system area.
  const std::size_t whole = file.size() / 2336;
  if (whole == 0 || (file.size() >= sizeof kSync && has_sync(file.data())))
    return false;
  bool edc = false;
  for (std::size_t i = 0; i < whole && i < 32 && !edc; ++i) {
    const uint8_t* s = file.data() + i * 2336;
    if (std::memcmp(s, s + 4, 4) != 0 || (s[2] & 0x20) != 0) continue;
    const uint32_t stored = uint32_t{s[2056]} | uint32_t{s[2057]} << 8 |
                            uint32_t{s[2058]} << 16 | uint32_t{s[2059]} << 24;
    const bool zeros = s[0] == 0 && std::memcmp(s, s + 1, 2055) == 0;
    edc = !zeros && sector_edc({s, 2056}) == stored;
  }
  for (std::size_t i = 0; i < whole && i < 16; ++i)
    if (std::memcmp(file.data() + i * 2336, file.data() + i * 2336 + 4, 4))
      return false;
  if (!edc) return false;
  *format = SectorFormat::k2336;
  return true;
}

DiscMap map_disc_image(std::span<const uint8_t> file, SectorFormat format) {
  DiscMap map;
  map.sector_size = sector_size(format);
  map.whole_sectors = file.size() / map.sector_size;
  map.segment_start.reserve(map.whole_sectors);
  walk_sectors(file, 0, format, 0, map.whole_sectors,
               [&](std::size_t, std::size_t data) {
                 map.segment_start.push_back(static_cast<uint32_t>(data));
                 return true;
               });
  return map;
}

uint32_t raw_offset(const DiscMap& map, std::size_t pos) {
  return map.segment_start[pos / kSectorDataSize] +
         static_cast<uint32_t>(pos % kSectorDataSize);
}

SectorPosition sector_position(const DiscMap& map, std::size_t pos) {
  const uint32_t start = map.segment_start[pos / kSectorDataSize];
  return {static_cast<uint32_t>(start / map.sector_size),
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
