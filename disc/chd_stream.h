// The data stream a scan reads from a CHD CD image: its hunks decoded (on
// all cores), their BIN bytes laid out as the track metadata says, and the
// places a damaged hunk leaves as holes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "disc/chd.h"
#include "disc/disc_image.h"
#include "disc/holes.h"

namespace vexlo::chd {

struct ChdStream {
  // A raw image: the data of its data sectors, with `map` giving where each
  // lies in the BIN. Else every BIN byte.
  BinLayout layout;
  DiscMap map;
  // Where damaged hunks left no bytes (raw: a gap in the stream where their
  // sectors' data would be; plain: their BIN bytes, zeros).
  StreamHoles holes;
  std::vector<uint32_t> damaged;  // hunk numbers, in order

  std::span<const uint8_t> bytes() const { return {buffer.get(), length}; }

  // The stream's memory (as large as it may grow) and how much it holds.
  std::unique_ptr<uint8_t[]> buffer;
  std::size_t length = 0;
};

// Decodes the stream of `file`, whose image open_chd read, with `options`
// (its skip_audio is set for raw images: their audio frames hold no data).
// False when the stream's memory cannot be had.
bool decode_stream(std::span<const uint8_t> file, const Image& image,
                   DecodeOptions options, ChdStream& out);

}  // namespace vexlo::chd
