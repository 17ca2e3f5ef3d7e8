// Arbitrary bytes through every packed-stream decoder: a stream is opened at
// each offset whose first bytes can begin a header. An opened stream lies
// inside the data, unpacks within the caps, and opens the same from a copy
// cut at its end (it read nothing past it) and moved to offset 0; cut one
// byte shorter, it opens the same or the decoder says it wanted more.
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/check.h"
#include "packed/packed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const std::vector<uint8_t> copy(bytes, bytes + size);
  vexlo::Unpacker unpacker;
  for (std::size_t off = 0; off + 1 < size; ++off) {
    const auto s = unpacker.open(copy, off);
    if (!s) continue;
    FUZZ_CHECK(vexlo::packed_pair_candidate(copy[off], copy[off + 1]));
    // The search's look at the first bytes never drops a stream.
    FUZZ_CHECK(vexlo::packed_header_plausible(&copy[off], size - off));
    FUZZ_CHECK(s->offset == off && s->end > off && s->end <= size);
    FUZZ_CHECK(s->unpacked.size() >= vexlo::kMinUnpackedSize &&
               s->unpacked.size() <= vexlo::kMaxUnpackedSize);
    FUZZ_CHECK(!vexlo::packed_scheme_name(s->scheme).empty());
    if (s->scheme == vexlo::PackedScheme::kSlz) {
      FUZZ_CHECK(!s->slz.empty() && s->slz.front().header_offset == off);
      uint64_t total = 0;
      for (const vexlo::SlzChunk& c : s->slz) {
        FUZZ_CHECK(c.header_offset + 16 + c.packed_size <= s->end);
        total += c.unpacked_size;
      }
      FUZZ_CHECK(total == s->unpacked.size());
    }
    const std::vector<uint8_t> alone(copy.begin() + static_cast<long>(off),
                                     copy.begin() + static_cast<long>(s->end));
    const auto again = unpacker.open(alone, 0);
    FUZZ_CHECK(again && again->scheme == s->scheme &&
               again->end == alone.size() && again->unpacked == s->unpacked);
    // One byte fewer: a different result only where the decoder says it
    // wanted that byte.
    const std::span<const uint8_t> shorter(alone.data(), alone.size() - 1);
    const auto cut = unpacker.open(shorter, 0);
    FUZZ_CHECK(unpacker.wanted_more() || (cut && cut->unpacked == s->unpacked &&
                                          cut->end == s->end - off));
  }
  return 0;
}
