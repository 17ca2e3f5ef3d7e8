// PBP files: the file, title and disc headers, the contents and block
// indexes, the inflating of blocks (the first 16 of each disc, and the
// input itself as one block) and the cue sheets. Nothing may read out of
// bounds, hang or allocate without limit; blocks stay inside the file.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "disc/pbp.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const std::span<const uint8_t> file(bytes, size);
  namespace pbp = vexlo::pbp;
  pbp::BlockDecoder decoder;
  std::vector<uint8_t> block(pbp::kBlockBytes);
  decoder.decode(file.first(std::min<std::size_t>(size, 0xFFFF)), block);
  pbp::Image image;
  pbp::Refusal why = pbp::Refusal::kNone;
  if (!pbp::open_image(file, image, &why)) {
    FUZZ_CHECK(why != pbp::Refusal::kNone && image.discs.empty());
    return 0;
  }
  FUZZ_CHECK(!image.discs.empty() && image.discs.size() <= pbp::kMaxDiscs);
  for (const pbp::Disc& d : image.discs) {
    FUZZ_CHECK(d.blocks.size() <= pbp::kMaxBlocks);
    FUZZ_CHECK(d.bin_size <= d.blocks.size() * pbp::kBlockBytes);
    for (const pbp::Block& b : d.blocks)
      FUZZ_CHECK(b.offset <= size && b.size <= size - b.offset);
    std::vector<uint8_t> bin;
    for (uint32_t n = 0; n < d.blocks.size() && n < 16; ++n) {
      decoder.decode(file, d, n, block);
      const std::size_t k = pbp::block_bin_bytes(d, n);
      FUZZ_CHECK(k <= block.size());
      bin.insert(bin.end(), block.begin(), block.begin() + k);
    }
    pbp::cue_sheet(d, "x.bin", bin);
  }
  return 0;
}
