#include "disc/chd.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "disc/parallel_decode.h"

namespace vexlo::chd {

namespace {

uint64_t be(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

constexpr uint32_t tag(const char (&s)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3]));
}

bool known_codec(uint32_t c) {
  return c == tag("cdlz") || c == tag("cdzl") || c == tag("cdzs") ||
         c == tag("cdfl");
}

// MSB-first bits; reading past the end yields zeros and marks the reader.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> d) : d_(d) {}
  uint32_t peek(int n) const {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const uint64_t at = pos_ + static_cast<uint64_t>(i);
      const uint32_t bit =
          at / 8 < d_.size() ? (d_[at / 8] >> (7 - at % 8)) & 1 : 0;
      v = (v << 1) | bit;
    }
    return v;
  }
  void skip(int n) {
    pos_ += static_cast<uint64_t>(n);
    if (pos_ > d_.size() * 8) over_ = true;
  }
  uint32_t read(int n) {
    const uint32_t v = peek(n);
    skip(n);
    return v;
  }
  uint64_t read_wide(int n) {  // up to 64 bits
    uint64_t v = 0;
    for (; n > 32; n -= 32) v = (v << 32) | read(32);
    return (v << n) | read(n);
  }
  bool over() const { return over_; }

 private:
  std::span<const uint8_t> d_;
  uint64_t pos_ = 0;
  bool over_ = false;
};

// The map's Huffman code: 16 symbols of at most 8 bits, lengths sent as a
// run-length list, codes canonical (longest first).
class MapHuffman {
 public:
  bool import(BitReader& bits) {
    std::array<uint8_t, 16> len{};
    for (std::size_t n = 0; n < len.size();) {
      uint32_t b = bits.read(4);
      if (b != 1) {
        len[n++] = static_cast<uint8_t>(b);
        continue;
      }
      b = bits.read(4);
      if (b == 1) {
        len[n++] = 1;
        continue;
      }
      const uint32_t repeat = bits.read(4) + 3;
      if (repeat > len.size() - n) return false;
      for (uint32_t i = 0; i < repeat; ++i) len[n++] = static_cast<uint8_t>(b);
    }
    if (bits.over()) return false;
    // Canonical codes: each length's first code follows from the counts of
    // the longer ones.
    uint32_t count[33] = {};
    for (uint8_t l : len) {
      if (l > kMaxBits) return false;
      ++count[l];
    }
    uint32_t start = 0;
    uint32_t first[33] = {};
    for (int l = 32; l > 0; --l) {
      const uint32_t next = (start + count[l]) >> 1;
      if (l != 1 && next * 2 != start + count[l]) return false;
      first[l] = start;
      start = next;
    }
    table_.fill(0);
    for (std::size_t sym = 0; sym < len.size(); ++sym) {
      const int l = len[sym];
      if (l == 0) continue;
      const uint32_t code = first[l]++;
      if (code >= (1u << l)) return false;
      const int shift = kMaxBits - l;
      for (uint32_t i = 0; i < (1u << shift); ++i)
        table_[(code << shift) | i] = static_cast<uint16_t>(sym << 8 | l);
    }
    return true;
  }
  // A symbol; 0xFF for a code with no symbol.
  uint32_t decode(BitReader& bits) const {
    const uint16_t e = table_[bits.peek(kMaxBits)];
    if ((e & 0xFF) == 0) {
      bits.skip(kMaxBits + 1);  // marks the reader as failed soon enough
      return 0xFF;
    }
    bits.skip(e & 0xFF);
    return e >> 8;
  }

 private:
  static constexpr int kMaxBits = 8;
  std::array<uint16_t, 256> table_{};
};

// Entry types of the compressed map beyond those of MapEntry.
enum : uint32_t {
  kMapParent = 6,
  kMapRleSmall = 7,
  kMapRleLarge = 8,
  kMapSelf0 = 9,
  kMapSelf1 = 10,
  kMapParentSelf = 11,
  kMapParent0 = 12,
  kMapParent1 = 13,
};

Refusal read_compressed_map(std::span<const uint8_t> file, uint64_t at,
                            Image& image) {
  if (at > file.size() || file.size() - at < 16) return Refusal::kDamaged;
  const uint8_t* h = file.data() + at;
  const uint64_t bytes = be(h, 4);
  uint64_t offset = be(h + 4, 6);
  const uint16_t want_crc = static_cast<uint16_t>(be(h + 10, 2));
  const int length_bits = h[12];
  const int self_bits = h[13];
  const int parent_bits = h[14];
  if (length_bits > 32 || self_bits > 32 || parent_bits > 32 ||
      bytes > file.size() - at - 16)
    return Refusal::kDamaged;
  BitReader bits(file.subspan(at + 16, bytes));
  MapHuffman code;
  if (!code.import(bits)) return Refusal::kDamaged;

  std::vector<MapEntry>& map = image.map;
  uint8_t last = 0;
  uint32_t repeat = 0;
  std::vector<uint8_t> types(map.size());
  for (std::size_t n = 0; n < map.size(); ++n) {
    if (repeat > 0) {
      types[n] = last;
      --repeat;
      continue;
    }
    const uint32_t v = code.decode(bits);
    if (v == kMapRleSmall) {
      types[n] = last;
      repeat = 2 + code.decode(bits);
    } else if (v == kMapRleLarge) {
      types[n] = last;
      repeat = 2 + 16 + (code.decode(bits) << 4);
      repeat += code.decode(bits);
    } else {
      types[n] = last = static_cast<uint8_t>(v);
    }
    if (bits.over()) return Refusal::kDamaged;
  }

  // The raw map as it is checked: 12 bytes per hunk.
  std::vector<uint8_t> raw(map.size() * 12);
  uint64_t last_self = 0;
  for (std::size_t n = 0; n < map.size(); ++n) {
    MapEntry& e = map[n];
    uint32_t t = types[n];
    e.offset = offset;
    switch (t) {
      case 0:
      case 1:
      case 2:
      case 3:
        if (image.compressors[t] == 0) return Refusal::kDamaged;
        e.length = bits.read(length_bits);
        offset += e.length;
        e.crc = static_cast<uint16_t>(bits.read(16));
        break;
      case kTypeNone:
        e.length = image.hunk_bytes;
        offset += e.length;
        e.crc = static_cast<uint16_t>(bits.read(16));
        break;
      case kTypeSelf:
        e.offset = last_self = bits.read_wide(self_bits);
        break;
      case kMapSelf1:
        ++last_self;
        [[fallthrough]];
      case kMapSelf0:
        t = kTypeSelf;
        e.offset = last_self;
        break;
      case kMapParent:
      case kMapParentSelf:
      case kMapParent0:
      case kMapParent1:
        return Refusal::kParent;
      default:
        return Refusal::kDamaged;
    }
    if (bits.over()) return Refusal::kDamaged;
    e.type = static_cast<uint8_t>(t);
    uint8_t* r = raw.data() + n * 12;
    r[0] = e.type;
    for (int i = 0; i < 3; ++i)
      r[1 + i] = static_cast<uint8_t>(e.length >> (16 - 8 * i));
    for (int i = 0; i < 6; ++i)
      r[4 + i] = static_cast<uint8_t>(e.offset >> (40 - 8 * i));
    r[10] = static_cast<uint8_t>(e.crc >> 8);
    r[11] = static_cast<uint8_t>(e.crc);
  }
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION  // lets mutations reach on
  if (crc16(raw) != want_crc) return Refusal::kDamaged;
#else
  (void)want_crc;
#endif
  for (const MapEntry& e : map) {
    if (e.type == kTypeSelf) {
      if (e.offset >= map.size()) return Refusal::kDamaged;
    } else if (e.offset > file.size() || e.length > file.size() - e.offset) {
      return Refusal::kDamaged;
    }
  }
  return Refusal::kNone;
}

// A map of 4-byte hunk numbers: 0 is a hunk never written.
Refusal read_plain_map(std::span<const uint8_t> file, uint64_t at,
                       Image& image) {
  const uint64_t need = image.map.size() * uint64_t{4};
  if (at > file.size() || file.size() - at < need) return Refusal::kDamaged;
  for (std::size_t n = 0; n < image.map.size(); ++n) {
    MapEntry& e = image.map[n];
    const uint64_t block = be(file.data() + at + n * 4, 4);
    e.length = image.hunk_bytes;
    e.offset = block * image.hunk_bytes;
    e.type = block == 0 ? kTypeZero : kTypeNone;
    if (block != 0 &&
        (e.offset > file.size() || e.length > file.size() - e.offset))
      return Refusal::kDamaged;
  }
  return Refusal::kNone;
}

// The value of `key` ("TYPE:") in a track line, up to the next space.
std::string field(const std::string& line, const char* key) {
  const std::size_t k = line.find(key);
  if (k == std::string::npos) return {};
  const std::size_t from = k + std::strlen(key);
  return line.substr(from, line.find(' ', from) - from);
}

bool number(const std::string& s, uint32_t max, uint32_t* v) {
  if (s.empty() || s.size() > 9) return false;
  uint32_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > max) return false;
  *v = n;
  return true;
}

// Bytes per frame in the BIN for a track type; 0 for an unknown type.
uint32_t type_size(const std::string& t) {
  static const struct {
    const char* name;
    uint32_t size;
  } kTypes[] = {{"MODE1", 2048},       {"MODE1_RAW", 2352},
                {"MODE2", 2336},       {"MODE2_FORM1", 2048},
                {"MODE2_FORM2", 2324}, {"MODE2_FORM_MIX", 2336},
                {"MODE2_RAW", 2352},   {"AUDIO", 2352}};
  for (const auto& k : kTypes)
    if (t == k.name) return k.size;
  return 0;
}

constexpr std::size_t kMaxTracks = 99;
constexpr int kMaxMetadata = 1000;

Refusal read_tracks(std::span<const uint8_t> file, uint64_t at, Image& image) {
  std::vector<std::pair<uint32_t, Track>> found;
  for (int count = 0; at != 0; ++count) {
    if (count == kMaxMetadata || at > file.size() || file.size() - at < 16)
      return Refusal::kDamaged;
    const uint8_t* m = file.data() + at;
    const uint32_t t = static_cast<uint32_t>(be(m, 4));
    const uint64_t length = be(m + 5, 3);
    const uint64_t next = be(m + 8, 8);
    if (length > file.size() - at - 16) return Refusal::kDamaged;
    if (t == tag("CHT2") || t == tag("CHTR")) {
      if (found.size() == kMaxTracks) return Refusal::kDamaged;
      const char* text = reinterpret_cast<const char*>(m + 16);
      const std::string line(text, std::find(text, text + length, '\0') - text);
      Track track;
      uint32_t number_of = 0;
      const std::string type = field(line, "TYPE:");
      const std::string sub = field(line, "SUBTYPE:");
      track.data_size = type_size(type);
      track.audio = type == "AUDIO";
      track.sub_size = sub == "NONE" ? 0 : kSubcodeSize;
      if (!number(field(line, "TRACK:"), kMaxTracks, &number_of) ||
          !number(field(line, "FRAMES:"), 1u << 24, &track.frames) ||
          track.data_size == 0 ||
          (sub != "NONE" && sub != "RW" && sub != "RW_RAW"))
        return Refusal::kDamaged;
      track.type = type;
      // Older metadata has no gaps; a gap that is no number counts as none.
      if (!number(field(line, "PREGAP:"), 1u << 24, &track.pregap))
        track.pregap = 0;
      if (!number(field(line, "POSTGAP:"), 1u << 24, &track.postgap))
        track.postgap = 0;
      track.pregap_data = field(line, "PGTYPE:").starts_with("V");
      found.emplace_back(number_of, track);
    }
    at = next;
  }
  if (found.empty()) return Refusal::kNotCd;
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  uint64_t frame = 0;
  uint64_t bin = 0;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (found[i].first != i + 1) return Refusal::kDamaged;
    Track& t = found[i].second;
    t.chd_frame = static_cast<uint32_t>(frame);
    t.bin_offset = bin;
    // Each track is padded to a multiple of four frames in the CHD.
    frame += (uint64_t{t.frames} + 3) / 4 * 4;
    bin += uint64_t{t.frames} * (t.data_size + t.sub_size);
    if (frame > uint64_t{image.map.size()} * image.frames_per_hunk)
      return Refusal::kDamaged;
    if (bin > kMaxBinSize) return Refusal::kTooLarge;
    image.tracks.push_back(t);
  }
  image.bin_size = bin;
  return Refusal::kNone;
}

}  // namespace

bool is_chd(std::span<const uint8_t> file) {
  return file.size() >= 8 && std::memcmp(file.data(), "MComprHD", 8) == 0;
}

std::string refusal_text(Refusal r, uint32_t version) {
  switch (r) {
    case Refusal::kNone:
      break;
    case Refusal::kVersion:
      return "CHD version " + std::to_string(static_cast<int>(version)) +
             " (convert it with a current chdman)";
    case Refusal::kParent:
      return "needs its parent CHD";
    case Refusal::kNotCd:
      return "a CHD that is not a CD image";
    case Refusal::kHunkBytes:
      return "CHD hunk size is not whole CD frames up to 1 MiB";
    case Refusal::kCodec:
      return "CHD compression is not one of a CD's";
    case Refusal::kTooLarge:
      return "its BIN would be larger than 2147483647 bytes";
    case Refusal::kDamaged:
      return "CHD header, map or metadata is damaged";
  }
  return {};
}

bool open_image(std::span<const uint8_t> file, Image& image, Refusal* refusal) {
  image = Image();
  auto fail = [&](Refusal r) {
    *refusal = r;
    return false;
  };
  if (!is_chd(file) || file.size() < 16) return fail(Refusal::kDamaged);
  image.version = static_cast<uint32_t>(be(file.data() + 12, 4));
  if (image.version != 5) return fail(Refusal::kVersion);
  if (file.size() < kHeaderSize || be(file.data() + 8, 4) != kHeaderSize)
    return fail(Refusal::kDamaged);
  const uint8_t* h = file.data();
  for (int i = 0; i < 4; ++i)
    image.compressors[i] = static_cast<uint32_t>(be(h + 16 + 4 * i, 4));
  image.logical_bytes = be(h + 32, 8);
  const uint64_t map_at = be(h + 40, 8);
  const uint64_t meta_at = be(h + 48, 8);
  image.hunk_bytes = static_cast<uint32_t>(be(h + 56, 4));
  if (std::any_of(h + 104, h + 124, [](uint8_t b) { return b != 0; }))
    return fail(Refusal::kParent);
  if (image.hunk_bytes == 0 || image.hunk_bytes % kFrameSize != 0 ||
      image.hunk_bytes > kMaxHunkBytes)
    return fail(Refusal::kHunkBytes);
  for (uint32_t c : image.compressors)
    if (c != 0 && !known_codec(c)) return fail(Refusal::kCodec);
  image.frames_per_hunk = image.hunk_bytes / kFrameSize;
  // A CD holds far fewer than 2^21 frames (a BIN of 2 GiB holds 913,000);
  // more is a hostile header.
  const uint64_t hunks =
      (image.logical_bytes + image.hunk_bytes - 1) / image.hunk_bytes;
  if (hunks * image.frames_per_hunk > (uint64_t{1} << 21))
    return fail(Refusal::kDamaged);
  image.map.resize(static_cast<std::size_t>(hunks));
  const Refusal map = image.compressors[0] != 0
                          ? read_compressed_map(file, map_at, image)
                          : read_plain_map(file, map_at, image);
  if (map != Refusal::kNone) return fail(map);
  const Refusal tracks = read_tracks(file, meta_at, image);
  if (tracks != Refusal::kNone) return fail(tracks);
  *refusal = Refusal::kNone;
  return true;
}

void bin_pieces(const Image& image, uint32_t n, std::span<uint8_t> hunk,
                std::vector<Piece>& out) {
  const uint64_t first = uint64_t{n} * image.frames_per_hunk;
  const uint64_t last = first + image.frames_per_hunk;
  for (const Track& t : image.tracks) {
    const uint64_t from = std::max<uint64_t>(first, t.chd_frame);
    const uint64_t to =
        std::min<uint64_t>(last, uint64_t{t.chd_frame} + t.frames);
    for (uint64_t f = from; f < to; ++f) {
      uint8_t* frame = hunk.data() + (f - first) * kFrameSize;
      const uint64_t bin =
          t.bin_offset + (f - t.chd_frame) * (t.data_size + t.sub_size);
      // The CHD keeps samples big-endian; the BIN little-endian.
      if (t.audio)
        for (std::size_t i = 0; i + 1 < t.data_size; i += 2)
          std::swap(frame[i], frame[i + 1]);
      out.push_back({bin, frame, t.data_size, t.audio});
      if (t.sub_size != 0)
        out.push_back(
            {bin + t.data_size, frame + kSectorSize, t.sub_size, t.audio});
    }
  }
}

bool decode_hunks(std::span<const uint8_t> file, const Image& image,
                  const DecodeOptions& options, const PieceConsumer& consume) {
  auto make = [&]() -> UnitDecoder {
    auto d = std::make_shared<HunkDecoder>(image);
    if (options.reader) d->set_reader(options.reader);
    return
        [d, file, &image, &options](
            uint64_t n, std::span<uint8_t> out) -> std::optional<std::size_t> {
          const uint32_t hunk = static_cast<uint32_t>(n);
          if (options.skip_audio && only_audio(image, hunk)) {
            std::memset(out.data(), 0, out.size());
            return out.size();
          }
          if (!d->decode(file, hunk, out)) return std::nullopt;
          return out.size();
        };
  };
  std::vector<uint8_t> zeros;
  std::vector<Piece> pieces;
  return decode_in_order(
      image.map.size(), image.hunk_bytes, options.threads, make,
      [&](uint64_t n, std::span<uint8_t> bytes, bool ok) {
        if (!ok) {
          zeros.assign(image.hunk_bytes, 0);
          bytes = zeros;
        }
        if (options.progress) options.progress(static_cast<uint32_t>(n));
        pieces.clear();
        bin_pieces(image, static_cast<uint32_t>(n), bytes, pieces);
        return consume(static_cast<uint32_t>(n), pieces, ok);
      });
}

bool decode_bin(std::span<const uint8_t> file, const Image& image,
                const DecodeOptions& given, std::vector<uint8_t>& bin,
                std::vector<uint32_t>& damaged) {
  try {
    bin.assign(static_cast<std::size_t>(image.bin_size), 0);
  } catch (const std::bad_alloc&) {
    bin = std::vector<uint8_t>();
    return false;
  }
  DecodeOptions options = given;
  options.skip_audio = false;
  decode_hunks(
      file, image, options,
      [&](uint32_t n, std::span<const Piece> pieces, bool ok) {
        if (!ok) damaged.push_back(n);
        for (const Piece& p : pieces)
          if (p.bin_offset <= bin.size() && p.size <= bin.size() - p.bin_offset)
            std::memcpy(bin.data() + p.bin_offset, p.data, p.size);
        return true;
      });
  return true;
}

BinRange hunk_bin_range(const Image& image, uint32_t n) {
  const uint64_t first = uint64_t{n} * image.frames_per_hunk;
  const uint64_t last = first + image.frames_per_hunk;
  BinRange r;
  bool any = false;
  for (const Track& t : image.tracks) {
    const uint64_t from = std::max<uint64_t>(first, t.chd_frame);
    const uint64_t to =
        std::min<uint64_t>(last, uint64_t{t.chd_frame} + t.frames);
    if (from >= to) continue;
    const uint64_t frame = t.data_size + t.sub_size;
    const uint64_t begin = t.bin_offset + (from - t.chd_frame) * frame;
    const uint64_t end = t.bin_offset + (to - t.chd_frame) * frame;
    if (!any) r.begin = begin;
    r.end = end;
    any = true;
  }
  return r;
}

BinLayout bin_layout(const Image& image) {
  BinLayout l;
  if (image.tracks.empty() || image.tracks[0].audio) return l;
  const Track& t = image.tracks[0];
  const uint32_t frame = t.data_size + t.sub_size;
  l.raw = true;
  if (frame == 2352)
    l.format = SectorFormat::k2352;
  else if (frame == 2448)
    l.format = SectorFormat::k2448;
  else if (frame == 2336)
    l.format = SectorFormat::k2336;
  else
    l.raw = false;
  return l;
}

namespace {

std::string msf(uint64_t frame) {
  char t[32];
  std::snprintf(t, sizeof t, "%02u:%02u:%02u",
                static_cast<unsigned>(frame / (75 * 60)),
                static_cast<unsigned>(frame / 75 % 60),
                static_cast<unsigned>(frame % 75));
  return t;
}

// The cue sheet's name for a track type of the metadata.
const char* cue_type(const std::string& type) {
  static const struct {
    const char* meta;
    const char* cue;
  } kNames[] = {{"MODE1", "MODE1/2048"},       {"MODE1_RAW", "MODE1/2352"},
                {"MODE2", "MODE2/2336"},       {"MODE2_FORM1", "MODE2/2048"},
                {"MODE2_FORM2", "MODE2/2324"}, {"MODE2_FORM_MIX", "MODE2/2336"},
                {"MODE2_RAW", "MODE2/2352"},   {"AUDIO", "AUDIO"}};
  for (const auto& n : kNames)
    if (type == n.meta) return n.cue;
  return "MODE1/2048";
}

}  // namespace

std::string cue_sheet(const Image& image, const std::string& bin_name) {
  std::string out = "FILE \"" + bin_name + "\" BINARY\n";
  uint64_t frame = 0;  // frames of the BIN before the track
  for (std::size_t i = 0; i < image.tracks.size(); ++i) {
    const Track& t = image.tracks[i];
    char head[40];
    std::snprintf(head, sizeof head, "  TRACK %02u %s\n",
                  static_cast<unsigned>(i + 1), cue_type(t.type));
    out += head;
    uint64_t start = frame;
    if (t.pregap > 0 && t.pregap_data) {
      out += "    INDEX 00 " + msf(frame) + "\n";
      start += t.pregap;
    } else if (t.pregap > 0) {
      out += "    PREGAP " + msf(t.pregap) + "\n";
    }
    out += "    INDEX 01 " + msf(start) + "\n";
    if (t.postgap > 0) out += "    POSTGAP " + msf(t.postgap) + "\n";
    frame += t.frames;
  }
  return out;
}

std::string open_chd(std::span<const uint8_t> file, Image& image) {
  Refusal why = Refusal::kNone;
  try {
    if (open_image(file, image, &why)) return {};
  } catch (const std::bad_alloc&) {
    why = Refusal::kTooLarge;
  }
  return refusal_text(why, image.version);
}

bool only_audio(const Image& image, uint32_t n) {
  const uint64_t first = uint64_t{n} * image.frames_per_hunk;
  const uint64_t last = first + image.frames_per_hunk;
  for (const Track& t : image.tracks) {
    const uint64_t from = std::max<uint64_t>(first, t.chd_frame);
    const uint64_t to =
        std::min<uint64_t>(last, uint64_t{t.chd_frame} + t.frames);
    if (from < to && !t.audio) return false;
  }
  return true;
}

uint16_t crc16(std::span<const uint8_t> data) {
  static const std::array<uint16_t, 256> kTable = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 8;
      for (int b = 0; b < 8; ++b) c = c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1;
      t[i] = static_cast<uint16_t>(c);
    }
    return t;
  }();
  uint16_t crc = 0xFFFF;
  for (uint8_t b : data)
    crc = static_cast<uint16_t>(crc << 8) ^ kTable[(crc >> 8) ^ b];
  return crc;
}

}  // namespace vexlo::chd
