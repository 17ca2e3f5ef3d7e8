// CHD images: the header, map and metadata reading, and the decoding of
// every hunk (at most 64) into the BIN pieces and of small images into the
// data stream. Nothing may read out of bounds, hang or allocate without
// limit; pieces, hunk ranges and the stream's sectors stay inside the BIN.
#include <cstdint>
#include <vector>

#include "disc/chd.h"
#include "disc/chd_stream.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const std::span<const uint8_t> file(bytes, size);
  vexlo::chd::Image image;
  vexlo::chd::Refusal why = vexlo::chd::Refusal::kNone;
  if (!vexlo::chd::open_image(file, image, &why)) {
    FUZZ_CHECK(why != vexlo::chd::Refusal::kNone);
    return 0;
  }
  FUZZ_CHECK(image.bin_size <= vexlo::chd::kMaxBinSize);
  vexlo::chd::HunkDecoder decoder(image);
  std::vector<uint8_t> hunk(image.hunk_bytes);
  std::vector<vexlo::chd::Piece> pieces;
  for (uint32_t n = 0; n < image.map.size() && n < 64; ++n) {
    decoder.decode(file, n, hunk);
    pieces.clear();
    vexlo::chd::bin_pieces(image, n, hunk, pieces);
    for (const vexlo::chd::Piece& p : pieces) {
      FUZZ_CHECK(p.bin_offset + p.size <= image.bin_size);
      FUZZ_CHECK(p.data >= hunk.data() &&
                 p.data + p.size <= hunk.data() + hunk.size());
    }
  }
  for (uint32_t n = 0; n < image.map.size() && n < 64; ++n) {
    const vexlo::chd::BinRange r = vexlo::chd::hunk_bin_range(image, n);
    FUZZ_CHECK(r.begin <= r.end && r.end <= image.bin_size);
  }
  FUZZ_CHECK(!vexlo::chd::cue_sheet(image, "x.bin").empty());
  if (image.map.size() <= 64 && image.bin_size <= (uint64_t{1} << 24)) {
    vexlo::chd::DecodeOptions options;
    options.threads = 1;
    vexlo::chd::ChdStream stream;
    if (vexlo::chd::decode_stream(file, image, options, stream)) {
      for (uint32_t start : stream.map.segment_start)
        FUZZ_CHECK(start + uint64_t{2048} <= image.bin_size);
      FUZZ_CHECK(stream.bytes().size() <= image.bin_size);
    }
  }
  return 0;
}
