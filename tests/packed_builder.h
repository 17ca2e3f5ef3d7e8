// Small greedy encoders of every packed scheme, to build test fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "packed/packed.h"

namespace vexlo::test {

using Bytes = std::vector<uint8_t>;

Bytes pack_lzss(const Bytes& in, unsigned length_addon);
Bytes pack_napk(const Bytes& in);
Bytes pack_gt_zip(const Bytes& in);
Bytes pack_ulz(const Bytes& in, UlzHeader header, int version,
               unsigned distance_bits);

// One chunk of an slz chain: its method and how many input bytes it holds.
struct SlzPiece {
  uint8_t method;
  std::size_t size;
  bool magic_01z = false;
};
// The input cut into `pieces` (their sizes add up to in.size()), chained.
Bytes pack_slz(const Bytes& in, const std::vector<SlzPiece>& pieces);

Bytes pack_refpack(const Bytes& in, RefpackHeader header);
Bytes pack_zlib(const Bytes& in);

enum class GzipTrailer { kRight, kWrong, kMissing, kCut };
Bytes pack_gzip(const Bytes& in, GzipTrailer trailer,
                const std::string& name = "");

// The input packed by `scheme` in its plainest form (lzss add-on 2, ulz
// version 2 "Ulz", slz one chunk of method 1, refpack 10 FB, gzip right).
Bytes pack_plain(PackedScheme scheme, const Bytes& in);

// Bytes that pack well but are not all alike: `n` bytes of short runs and
// repeats, seeded by `seed`.
Bytes compressible(std::size_t n, uint32_t seed = 1);

}  // namespace vexlo::test
