// Packed (compressed) streams that games keep their textures in: recognising
// one by its header at a byte offset of loaded data, and unpacking it. Pure
// functions over byte spans; every scheme starts with an identifying header,
// so a stream can be opened at any offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vexlo {

namespace packed_detail {
struct Candidate;
}

enum class PackedScheme : uint8_t {
  kLzss,     // "LZSS"
  kNapk,     // "napk"
  kUlz,      // "Ulz\x1A" or "ULZ\x1A"
  kGtZip,    // "@(#)GT-ZIP\0\0"
  kSlz,      // "SLZ" or "01Z", chained chunks
  kRefpack,  // 10 FB, 11 FB, 90 FB or 91 FB
  kZlib,     // 78 01, 78 5E, 78 9C or 78 DA
  kGzip,     // 1F 8B 08
};
inline constexpr int kPackedSchemeCount = 8;

// The scheme's name as reports and catalogues show it: "lzss", "napk",
// "ulz", "gt-zip", "slz", "refpack", "zlib", "gzip".
std::string_view packed_scheme_name(PackedScheme scheme);

// Caps on what one stream unpacks to, both inclusive. The declared size of a
// scheme that has one must lie in this range; zlib and gzip streams must
// inflate to a size in it.
inline constexpr uint32_t kMinUnpackedSize = 8;
inline constexpr uint32_t kMaxUnpackedSize = 16u << 20;

// What a re-packer needs, per scheme, to write the same kind of stream back.
// Only the member of the stream's own scheme is meaningful.

struct LzssFields {
  // Added to a copy's 6-bit length field: 2 or 3 (the two variants share
  // one header; the one that unpacks to the declared size is kept, 2 first).
  uint8_t length_addon = 2;
};

enum class UlzHeader : uint8_t {
  kLower,  // "Ulz\x1A": u24 size, flags highest bit first, length add-on 3
  kUpper,  // "ULZ\x1A": u32 size at 0x10, flags lowest bit first, add-on 2
};

struct UlzFields {
  UlzHeader header = UlzHeader::kLower;
  uint8_t version = 2;         // 0: 31 flags a word and a stop bit; 2: 32 flags
  uint8_t distance_bits = 12;  // N: the low N bits of a copy code
  // From the header's first byte, as stored.
  uint32_t literal_offset = 0;
  uint32_t code_offset = 0;
};

// One chunk of an slz chain, in chain order.
struct SlzChunk {
  std::size_t header_offset = 0;  // in the data given to open
  bool magic_01z = false;         // "01Z" rather than "SLZ"
  uint8_t method = 0;             // 0 stored, 1 LZSS, 2 LZSS with fill
  uint32_t packed_size = 0;       // bytes after the 16-byte header
  uint32_t unpacked_size = 0;
  uint32_t next = 0;  // as stored: distance to the next header, 0 = last
};

enum class RefpackHeader : uint8_t {
  k10FB,  // BE u24 unpacked size; commands from byte 5
  k11FB,  // BE u24 packed size, BE u24 unpacked size; from byte 8
  k90FB,  // BE u32 unpacked size; from byte 6
  k91FB,  // BE u32 packed size, BE u32 unpacked size; from byte 10
};

struct RefpackFields {
  RefpackHeader header = RefpackHeader::k10FB;
  uint32_t stored_packed_size = 0;  // 11 FB and 91 FB forms only; unchecked
};

struct ZlibFields {
  uint8_t cmf = 0x78;
  uint8_t flg = 0x9C;  // its level bits say how hard the writer packed
};

struct GzipFields {
  uint8_t flags = 0;  // FTEXT, FHCRC, FEXTRA, FNAME, FCOMMENT as stored
  uint32_t mtime = 0;
  uint8_t xfl = 0;
  uint8_t os = 0;
  std::vector<uint8_t> extra;  // FEXTRA's data, without its length
  std::string name;            // FNAME, without its terminating zero
  std::string comment;         // FCOMMENT, without its terminating zero
  uint16_t header_crc = 0;     // FHCRC's value as stored (not checked)
  // The 8-byte trailer: whether all of it lies in the data, and whether its
  // CRC-32 and size match the unpacked bytes.
  bool trailer_present = false;
  bool trailer_ok = false;
};

// One opened stream.
struct PackedStream {
  PackedScheme scheme = PackedScheme::kLzss;
  // The stream's bytes in the data given to open: from its header's first
  // byte to one past its last packed byte (slz: the end of the last chunk's
  // packed data; gzip: the end of the trailer, or of the data when the
  // trailer is cut off; ulz: the farthest byte of its three parts read).
  std::size_t offset = 0;
  std::size_t end = 0;
  // kMinUnpackedSize to kMaxUnpackedSize bytes.
  std::vector<uint8_t> unpacked;

  LzssFields lzss;
  UlzFields ulz;
  std::vector<SlzChunk> slz;  // at least one chunk for an slz stream
  RefpackFields refpack;
  ZlibFields zlib;
  GzipFields gzip;
};

// The first look of the header search: the first two bytes of every
// header, one group of headers a bit. A group's first and second bytes are
// looked up by nibble (one vector shuffle each), so each group's set of
// pairs reads as the product of its low and high nibbles: exact for most
// groups, a few spare pairs for slz's and zlib's, which the openers turn
// down. A pair can begin a header when
//   kPackedFirstLo[b0 & 15] & kPackedFirstHi[b0 >> 4] &
//   kPackedSecondLo[b1 & 15] & kPackedSecondHi[b1 >> 4]
// is not zero: 42 of the 65,536 pairs, about one offset in 1,560 of random
// data.
namespace packed_pairs {
struct Group {
  uint8_t first[4];
  uint8_t second[4];
};
inline constexpr Group kGroups[8] = {
    {{'L', 'L', 'L', 'L'}, {'Z', 'Z', 'Z', 'Z'}},          // lzss
    {{'n', 'n', 'n', 'n'}, {'a', 'a', 'a', 'a'}},          // napk
    {{'U', 'U', 'U', 'U'}, {'l', 'L', 'L', 'L'}},          // ulz
    {{'@', '@', '@', '@'}, {'(', '(', '(', '('}},          // gt-zip
    {{'S', '0', '0', '0'}, {'L', '1', '1', '1'}},          // slz
    {{0x10, 0x11, 0x90, 0x91}, {0xFB, 0xFB, 0xFB, 0xFB}},  // refpack
    {{0x78, 0x78, 0x78, 0x78}, {0x01, 0x5E, 0x9C, 0xDA}},  // zlib
    {{0x1F, 0x1F, 0x1F, 0x1F}, {0x8B, 0x8B, 0x8B, 0x8B}},  // gzip
};
struct Table {
  uint8_t v[16];
};
constexpr Table nibbles(bool second, bool high) {
  Table t{};
  for (int g = 0; g < 8; ++g)
    for (uint8_t b : second ? kGroups[g].second : kGroups[g].first)
      t.v[high ? b >> 4 : b & 15] |= static_cast<uint8_t>(1u << g);
  return t;
}
}  // namespace packed_pairs

inline constexpr packed_pairs::Table kPackedFirstLo =
    packed_pairs::nibbles(false, false);
inline constexpr packed_pairs::Table kPackedFirstHi =
    packed_pairs::nibbles(false, true);
inline constexpr packed_pairs::Table kPackedSecondLo =
    packed_pairs::nibbles(true, false);
inline constexpr packed_pairs::Table kPackedSecondHi =
    packed_pairs::nibbles(true, true);

// Whether a byte is the first byte of some pair that passes: 14 of the 256.
inline constexpr struct FirstBytes {
  bool v[256];
} kPackedFirstBytes = [] {
  FirstBytes t{};
  for (int b = 0; b < 256; ++b)
    t.v[b] = (kPackedFirstLo.v[b & 15] & kPackedFirstHi.v[b >> 4]) != 0;
  return t;
}();

constexpr bool packed_pair_candidate(uint8_t b0, uint8_t b1) {
  return (kPackedFirstLo.v[b0 & 15] & kPackedFirstHi.v[b0 >> 4] &
          kPackedSecondLo.v[b1 & 15] & kPackedSecondHi.v[b1 >> 4]) != 0;
}

// The 16 pairs that begin a header, as bits: the spare pairs of the nibble
// tables are dropped at one look before packed_header_plausible is called.
inline constexpr struct ExactPairs {
  uint64_t bits[1024];
} kPackedExactPairs = [] {
  ExactPairs t{};
  for (const packed_pairs::Group& g : packed_pairs::kGroups)
    for (int i = 0; i < 4; ++i) {
      // Groups list a pair a column: slz's and zlib's pairs are exact.
      const unsigned pair = unsigned{g.first[i]} << 8 | g.second[i];
      t.bits[pair >> 6] |= uint64_t{1} << (pair & 63);
    }
  return t;
}();

constexpr bool packed_pair_exact(uint8_t b0, uint8_t b1) {
  const unsigned pair = unsigned{b0} << 8 | b1;
  return (kPackedExactPairs.bits[pair >> 6] >> (pair & 63)) & 1;
}

// Bytes a header needs at its offset before anything can be decided.
inline constexpr std::size_t kPackedPairBytes = 2;

// The second look of the header search, made where the search has the
// bytes at hand: at most this many bytes from the offset.
inline constexpr std::size_t kPackedLookBytes = 20;

// False when the pair at `p` (which passes packed_pair_candidate) cannot
// begin a stream, judged from the first min(avail, kPackedLookBytes) bytes:
// the header's magic and sane fields, refpack's first command, zlib's first
// deflate block. Bytes it would need past those count as passing, so every
// header that opens passes. In random data about one pair in a hundred
// passes.
bool packed_header_plausible(const uint8_t* p, std::size_t avail);

// Opens packed streams, keeping its buffers and inflate state from one
// candidate to the next, so that the many false candidates of a large scan
// cost no allocation. Not shared between threads.
class Unpacker {
 public:
  Unpacker();
  ~Unpacker();
  Unpacker(const Unpacker&) = delete;
  Unpacker& operator=(const Unpacker&) = delete;

  // The stream whose header begins at data[offset], when a scheme's header
  // with sane fields is there and its data unpacks without error to exactly
  // the declared size (zlib, gzip: to the end of the deflate data, within
  // the caps). Reads only data[offset, data.size()). Never throws on bad
  // data; allocates at most about kMaxUnpackedSize plus the inflate state.
  std::optional<PackedStream> open(std::span<const uint8_t> data,
                                   std::size_t offset);

  // After open: whether the decoder wanted bytes at or past the end of the
  // data. When `data` is a window cut from longer data, only then may more
  // of it open a stream where there was none, or a different one (a longer
  // slz chain, a gzip trailer).
  bool wanted_more() const { return wanted_more_; }

 private:
  struct Inflater;
  bool open_zlib(packed_detail::Candidate& c);
  bool open_gzip(packed_detail::Candidate& c);

  std::unique_ptr<Inflater> inflater_;
  std::vector<uint8_t> out_;
  bool wanted_more_ = false;
};

// One call with an Unpacker of its own.
std::optional<PackedStream> open_packed(std::span<const uint8_t> data,
                                        std::size_t offset);

}  // namespace vexlo
