// Raw CD images (2352 bytes per sector, or 2448 and 2336, see
// probe_disc_image): finding the 2048-byte data of each sector, so that a scan
// can read the files on the disc as the drive hands them out, without the
// sector framing in between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vexlo {

constexpr std::size_t kRawSectorSize = 2352;
constexpr std::size_t kSectorDataSize = 2048;

// Where the 2048 data bytes of a raw sector begin: 16 for Mode 1, 24 for
// Mode 2 Form 1; 0 when the sector holds no such data (no sync, Form 2,
// any other mode, or fewer than kRawSectorSize bytes). The address, EDC and
// ECC are never checked: real images get them wrong.
std::size_t sector_data_start(std::span<const uint8_t> sector);

// True when `file` is a raw image: it holds at least one whole sector, and
// the sync stands at offset 0 and at the start of each of the next three
// sectors it holds whole.
bool is_disc_image(std::span<const uint8_t> file);

// The sector sizes of raw images: 2352; 2448, the same sector and 96
// subchannel bytes that are never data; 2336, Mode 2 sectors without sync
// and header (subheader, its copy, then Form 1 data at 8 or Form 2).
enum class SectorFormat : uint8_t { k2352, k2448, k2336 };

std::size_t sector_size(SectorFormat format);

// As sector_data_start above, for a sector of `format` (for 2336: 8 for
// Form 1, 0 for Form 2).
std::size_t sector_data_start(std::span<const uint8_t> sector,
                              SectorFormat format);

// The format of the raw image `file`: 2352 as is_disc_image says; else 2448
// when it holds two whole 2448-byte sectors or more and the sync stands at
// the start of its first four (or all); else 2336 when no sync stands at 0,
// `file` holds a whole sector, each of its first 16 whole sectors (or all)
// repeats its subheader, and at least one of them is a Form 1 sector with a
// valid EDC. False when it is none.
bool probe_disc_image(std::span<const uint8_t> file, SectorFormat* format);

// The data stream of a raw image: the data bytes of every whole data sector,
// in file order. Segment k of the stream is stream bytes
// [k * kSectorDataSize, (k + 1) * kSectorDataSize).
struct DiscMap {
  std::size_t whole_sectors = 0;
  std::size_t sector_size = kRawSectorSize;
  // Per segment: the file offset of its first data byte.
  std::vector<uint32_t> segment_start;

  std::size_t stream_size() const {
    return segment_start.size() * kSectorDataSize;
  }
};

// Walks the whole sectors [first, last) of a raw image of `format`, whose
// bytes from file offset `base` on are `view`, and calls
// on_data(sector, file offset of its first data byte) for each one that holds
// data, in order, until on_data returns false.
template <typename OnData>
void walk_sectors(std::span<const uint8_t> view, std::size_t base,
                  SectorFormat format, std::size_t first, std::size_t last,
                  OnData on_data) {
  const std::size_t size = sector_size(format);
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t at = i * size;
    const std::size_t start =
        sector_data_start(view.subspan(at - base, size), format);
    if (start != 0 && !on_data(i, at + start)) return;
  }
}

// The map of `file`, which is_disc_image accepted (or probe_disc_image for
// `format`), and which is below 4 GiB.
DiscMap map_disc_image(std::span<const uint8_t> file,
                       SectorFormat format = SectorFormat::k2352);

// Where stream byte `pos` (< stream_size) lies in the file.
uint32_t raw_offset(const DiscMap& map, std::size_t pos);

// The sector holding stream byte `pos` (< stream_size), counted from the
// file's first sector, and the position of that byte in the sector's data.
struct SectorPosition {
  uint32_t sector = 0;
  uint32_t offset = 0;  // 0..kSectorDataSize - 1
};
SectorPosition sector_position(const DiscMap& map, std::size_t pos);

// Stream bytes [pos, pos + out.size()) copied into `out`; the range must lie
// in the stream.
void copy_stream(std::span<const uint8_t> file, const DiscMap& map,
                 std::size_t pos, std::span<uint8_t> out);

}  // namespace vexlo
