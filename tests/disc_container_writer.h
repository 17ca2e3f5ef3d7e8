// Writes the containers raw CD images travel in, for tests: ECM (sectors
// with what can be rebuilt left out) and PBP (blocks of 16 sectors, raw
// deflate through zlib), from the format's rules alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/tim_builder.h"

namespace vexlo::test {

// A raw image of `sectors` 2352-byte sectors with valid EDC and ECC (made by
// the project's writer): `kinds` cycles over 1 (Mode 1), 2 (Mode 2 Form 1),
// 3 (Form 2, EDC set) and 0 (audio), the data bytes a pattern of `seed`.
Bytes coded_image(std::size_t sectors, const std::vector<int>& kinds,
                  uint8_t seed = 1);

// The ECM of `image`. *counts, when given, gets the items stored of each
// type (0: literal bytes, 1: Mode 1, 2: Form 1, 3: Form 2 sectors).
// `max_run` caps the items per record so tests get many records.
Bytes ecm_encode(const Bytes& image, std::size_t* counts = nullptr,
                 std::size_t max_run = 0);

// An ECM record header for `type` and stored value `value`.
Bytes ecm_header(uint8_t type, uint32_t value);

// One track of a PBP's table of contents.
struct TocTrack {
  int number = 1;
  bool data = true;
  uint32_t start = 0;  // sector in the BIN
};

struct PbpDisc {
  Bytes bin;
  std::string code = "_SCUS_94476";
  std::vector<TocTrack> tracks = {{}};  // one data track at sector 0
  bool store_all = false;               // every block stored, none deflated
};

// Where the writer put things, for tests that poke at them.
constexpr std::size_t kPsarAt = 0x28;
constexpr std::size_t kDiscListAt = 0x200;
constexpr std::size_t kIndexAt = 0x4000;
constexpr std::size_t kBlocksAt = 0x100000;

// `bytes` compressed with raw deflate (no zlib header).
Bytes deflate_raw(const Bytes& bytes);

// A PBP of one disc (DATA.PSAR a disc header) or, with `title` or more than
// one disc, of a title header naming each; `*disc_at`, when given, gets each
// disc header's file offset.
Bytes make_pbp(const std::vector<PbpDisc>& discs, bool title = false,
               std::vector<std::size_t>* disc_at = nullptr);

}  // namespace vexlo::test
