// Arbitrary bytes packed by every encoder, in a form picked by the first
// byte: each stream must open again to exactly those bytes, end where it was
// written, and pack the same way again from what it was read with.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/check.h"
#include "packed/encode.h"
#include "packed/packed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace vexlo;
  if (size < 1) return 0;
  const uint8_t pick = data[0];
  // Large seeds (a 900 KB TIM) add time, not paths.
  const std::span<const uint8_t> bytes(data + 1,
                                       std::min<std::size_t>(size - 1, 65536));
  if (bytes.size() < kMinUnpackedSize) return 0;
  std::vector<std::optional<PackedBytes>> streams;
  streams.push_back(encode_lzss(bytes, {static_cast<uint8_t>(2 + (pick & 1))}));
  streams.push_back(encode_napk(bytes));
  UlzFields u;
  u.header = (pick & 2) ? UlzHeader::kUpper : UlzHeader::kLower;
  u.version = (pick & 4) ? 0 : 2;
  u.distance_bits = static_cast<uint8_t>(8 + (pick >> 5));
  streams.push_back(encode_ulz(bytes, u));
  streams.push_back(encode_gtzip(bytes));
  // A chain cut at a third and two thirds, its methods from the pick.
  std::vector<SlzChunk> chain(3);
  const std::size_t third = bytes.size() / 3;
  const uint32_t sizes[] = {static_cast<uint32_t>(third),
                            static_cast<uint32_t>(third),
                            static_cast<uint32_t>(bytes.size() - 2 * third)};
  for (int i = 0; i < 3; ++i) {
    chain[i].method = static_cast<uint8_t>((pick >> (i + 2)) % 3);
    chain[i].unpacked_size = sizes[i];
  }
  if (third == 0) chain.resize(1), chain[0].unpacked_size = sizes[2];
  streams.push_back(encode_slz(bytes, chain));
  streams.push_back(
      encode_refpack(bytes, static_cast<RefpackHeader>(pick & 3)));
  streams.push_back(encode_zlib(bytes));
  GzipFields g;
  g.flags = pick & 0x1E;
  g.name.assign(1, 'n');  // (GCC 12 warns wrongly on = "n")
  g.comment.assign(1, 'c');
  g.extra = {1, 2, 3, 4};
  streams.push_back(encode_gzip(bytes, g));
  for (const auto& packed : streams) {
    FUZZ_CHECK(packed.has_value());
    const auto s = open_packed(*packed, 0);
    FUZZ_CHECK(s.has_value());
    FUZZ_CHECK(s->end == packed->size());
    FUZZ_CHECK(std::equal(s->unpacked.begin(), s->unpacked.end(), bytes.begin(),
                          bytes.end()));
    // lzss without copies reads as the first variant whichever it was
    // written with: then only the bytes must come back.
    const auto again = repack(*s, bytes);
    FUZZ_CHECK(again.has_value());
    if (s->scheme != PackedScheme::kLzss) FUZZ_CHECK(again == packed);
    const auto reread = open_packed(*again, 0);
    FUZZ_CHECK(reread && reread->unpacked == s->unpacked);
  }
  return 0;
}
