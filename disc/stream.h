// A data stream: the bytes a scan reads, with a map from each stream offset
// back to where it lies in the input. Every source hands the scan one: a
// plain file is its own stream; a raw image's stream is the data of its
// sectors, read in place from the image or decoded into memory (a CHD).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "disc/disc_image.h"
#include "disc/holes.h"

namespace vexlo {

// Where a stream byte lies in the input.
struct StreamPlace {
  // The offset shown for it: the input's byte (in a raw image, the raw
  // offset of the byte in its sector).
  uint32_t offset = 0;
  // In a raw image: the sector holding the byte, counted from the image's
  // first, and the byte's position in that sector's data.
  std::optional<uint32_t> sector;
  uint32_t sector_offset = 0;
};

class DataStream {
 public:
  // `bytes` is the stream, and stream offset n is input byte n.
  static DataStream plain(std::span<const uint8_t> bytes) {
    return DataStream(bytes, nullptr, false);
  }
  // `stream` is the data stream of a raw image of `map`, held in memory.
  static DataStream decoded(std::span<const uint8_t> stream,
                            const DiscMap& map) {
    return DataStream(stream, &map, false);
  }
  // The data stream of `image`, a raw image of `map`, read in place.
  static DataStream in_image(std::span<const uint8_t> image,
                             const DiscMap& map) {
    return DataStream(image, &map, true);
  }

  std::size_t size() const {
    return in_place_ ? map_->stream_size() : bytes_.size();
  }
  // Whether the stream lies in memory in one piece (as whole()).
  bool contiguous() const { return !in_place_; }
  // The stream's bytes when contiguous(); else the image holding them.
  std::span<const uint8_t> bytes() const { return bytes_; }
  // The sector map, null for a plain stream.
  const DiscMap* map() const { return map_; }

  // Where the input could not be read (a damaged CHD hunk): no TIM whose
  // bytes touch one is reported. Null when there is none.
  const StreamHoles* holes() const { return holes_; }
  DataStream with_holes(const StreamHoles& holes) const {
    DataStream s = *this;
    s.holes_ = holes.empty() ? nullptr : &holes;
    return s;
  }

  // Where stream byte `pos` (< size()) lies in the input.
  StreamPlace place(std::size_t pos) const;

  // Stream bytes [pos, pos + n), which lie in the stream: a pointer into
  // bytes() when they lie together there, else into `scratch`, which they
  // are copied to (n bytes).
  const uint8_t* read(std::size_t pos, std::size_t n, uint8_t* scratch) const {
    if (!in_place_) return bytes_.data() + pos;
    const std::size_t in = pos % kSectorDataSize;
    if (in + n <= kSectorDataSize)
      return bytes_.data() + map_->segment_start[pos / kSectorDataSize] + in;
    copy(pos, {scratch, n});
    return scratch;
  }
  // The 2048 bytes of segment k of a raw image's stream (map() not null).
  std::span<const uint8_t> segment(std::size_t k) const {
    return {read(k * kSectorDataSize, kSectorDataSize, nullptr),
            kSectorDataSize};
  }
  // Stream bytes [pos, pos + out.size()), which lie in the stream, copied
  // into `out`.
  void copy(std::size_t pos, std::span<uint8_t> out) const;
  // The input offset of each piece of stream bytes [pos, pos + n) that lies
  // together in the input, in order: piece(input offset, stream offset,
  // bytes).
  template <typename Piece>
  void pieces(std::size_t pos, std::size_t n, Piece piece) const {
    if (map_ == nullptr) {
      piece(uint64_t{pos}, pos, n);
      return;
    }
    for (std::size_t done = 0; done < n;) {
      const std::size_t at = pos + done;
      const std::size_t k =
          std::min(kSectorDataSize - at % kSectorDataSize, n - done);
      piece(uint64_t{raw_offset(*map_, at)}, at, k);
      done += k;
    }
  }

 private:
  DataStream(std::span<const uint8_t> bytes, const DiscMap* map, bool in_place)
      : bytes_(bytes), map_(map), in_place_(in_place) {}

  std::span<const uint8_t> bytes_;
  const DiscMap* map_;
  bool in_place_;
  const StreamHoles* holes_ = nullptr;
};

}  // namespace vexlo
