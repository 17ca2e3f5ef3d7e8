#include "disc/stream.h"

#include <algorithm>

namespace vexlo {

StreamPlace DataStream::place(std::size_t pos) const {
  StreamPlace place;
  if (map_ == nullptr) {
    place.offset = static_cast<uint32_t>(pos);
    return place;
  }
  const SectorPosition where = sector_position(*map_, pos);
  place.offset = raw_offset(*map_, pos);
  place.sector = where.sector;
  place.sector_offset = where.offset;
  return place;
}

void DataStream::copy(std::size_t pos, std::span<uint8_t> out) const {
  if (in_place_) {
    copy_stream(bytes_, *map_, pos, out);
    return;
  }
  std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos), out.size(),
              out.begin());
}

}  // namespace vexlo
