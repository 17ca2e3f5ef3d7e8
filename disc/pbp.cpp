#include "disc/pbp.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "disc/cue_sheet.h"
#include "disc/disc_image.h"
#include "disc/parallel_decode.h"

namespace vexlo::pbp {

namespace {

constexpr uint8_t kMagic[4] = {0, 'P', 'B', 'P'};
constexpr char kDiscMagic[] = "PSISOIMG0000";
constexpr char kTitleMagic[] = "PSTITLEIMG000000";
constexpr std::size_t kPsarOffsetAt = 0x24;
constexpr std::size_t kGameCodeAt = 0x400;
constexpr std::size_t kGameCodeMax = 16;
constexpr std::size_t kTocAt = 0x800;
constexpr std::size_t kTocEntry = 10;
constexpr std::size_t kTocEntries = 102;  // A0, A1, A2 and 99 tracks
constexpr std::size_t kIndexAt = 0x4000;
constexpr std::size_t kIndexEntry = 32;
constexpr std::size_t kBlocksAt = 0x100000;
constexpr std::size_t kDiscListAt = 0x200;
// The two seconds before the BIN's first sector in disc positions.
constexpr uint32_t kLeadIn = 150;

uint32_t get_u32le(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}

uint16_t get_u16le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// The file holds bytes [at, at + n).
bool holds(std::span<const uint8_t> file, uint64_t at, uint64_t n) {
  return at <= file.size() && n <= file.size() - at;
}

bool starts_with(std::span<const uint8_t> file, uint64_t at, const char* tag) {
  const std::size_t n = std::strlen(tag);
  return holds(file, at, n) && std::memcmp(file.data() + at, tag, n) == 0;
}

// A BCD byte as a number, -1 when it is not BCD.
int bcd(uint8_t v) {
  if ((v >> 4) > 9 || (v & 15) > 9) return -1;
  return (v >> 4) * 10 + (v & 15);
}

// A BCD disc position as a sector count from the disc's start, -1 when it
// is not one.
int64_t position(const uint8_t* msf) {
  const int m = bcd(msf[0]), s = bcd(msf[1]), f = bcd(msf[2]);
  if (m < 0 || s < 0 || f < 0 || s > 59 || f > 74) return -1;
  return (int64_t{m} * 60 + s) * 75 + f;
}

// The table of contents as a disc's lead-in holds it: per entry control/ADR,
// track number, point, position, zero, then the point's position. Tracks
// come back in number order; none when the contents are not readable.
void read_toc(const uint8_t* toc, Disc& disc) {
  std::vector<Track> tracks;
  for (std::size_t i = 0; i < kTocEntries; ++i) {
    const uint8_t* e = toc + i * kTocEntry;
    const uint8_t point = e[2];
    if (point == 0) break;
    const int64_t at = position(e + 7);
    if (point == 0xA2) {
      if (at >= kLeadIn) disc.lead_out = static_cast<uint32_t>(at - kLeadIn);
      continue;
    }
    const int number = bcd(point);
    if (number < 1 || at < kLeadIn) continue;
    tracks.push_back(
        {number, (e[0] & 0x40) != 0, static_cast<uint32_t>(at - kLeadIn)});
  }
  std::sort(tracks.begin(), tracks.end(),
            [](const Track& a, const Track& b) { return a.number < b.number; });
  for (std::size_t i = 1; i < tracks.size(); ++i)
    if (tracks[i].number == tracks[i - 1].number ||
        tracks[i].start < tracks[i - 1].start)
      return;
  disc.tracks = std::move(tracks);
}

// The disc whose header starts at file offset `at`.
Refusal read_disc(std::span<const uint8_t> file, uint64_t at, Disc& disc) {
  if (!holds(file, at, std::strlen(kDiscMagic))) return Refusal::kTruncated;
  if (!starts_with(file, at, kDiscMagic)) return Refusal::kUnknown;
  if (!holds(file, at, kIndexAt)) return Refusal::kTruncated;
  disc.header = at;
  const uint8_t* head = file.data() + at;
  for (std::size_t i = 0; i < kGameCodeMax; ++i) {
    const uint8_t c = head[kGameCodeAt + i];
    if (c < 0x20 || c > 0x7E) break;
    disc.game_code.push_back(static_cast<char>(c));
  }
  read_toc(head + kTocAt, disc);
  for (uint32_t n = 0; n < kMaxBlocks; ++n) {
    const uint64_t e = at + kIndexAt + uint64_t{n} * kIndexEntry;
    if (!holds(file, e, kIndexEntry)) return Refusal::kTruncated;
    const uint8_t* p = file.data() + e;
    const uint16_t size = get_u16le(p + 4);
    if (size == 0) break;
    const uint64_t offset = at + kBlocksAt + get_u32le(p);
    if (!holds(file, offset, size)) return Refusal::kTruncated;
    disc.blocks.push_back({offset, size});
  }
  disc.bin_size = uint64_t{disc.blocks.size()} * kBlockBytes;
  const uint64_t cut = uint64_t{disc.lead_out} * kRawSectorSize;
  if (disc.lead_out != 0 && cut <= disc.bin_size &&
      cut > disc.bin_size - kBlockBytes)
    disc.bin_size = cut;
  return Refusal::kNone;
}

}  // namespace

bool is_pbp(std::span<const uint8_t> file) {
  return file.size() >= sizeof kMagic &&
         std::memcmp(file.data(), kMagic, sizeof kMagic) == 0;
}

std::string refusal_text(Refusal r) {
  return r == Refusal::kUnknown ? "encrypted or unknown PBP" : "truncated";
}

bool open_image(std::span<const uint8_t> file, Image& image, Refusal* refusal) {
  image = Image{};
  *refusal = Refusal::kTruncated;
  if (!is_pbp(file) || !holds(file, 0, kPsarOffsetAt + 4)) return false;
  const uint64_t psar = get_u32le(file.data() + kPsarOffsetAt);
  std::vector<uint64_t> headers;
  if (starts_with(file, psar, kTitleMagic)) {
    if (!holds(file, psar + kDiscListAt, 4 * kMaxDiscs)) return false;
    for (std::size_t i = 0; i < kMaxDiscs; ++i) {
      const uint32_t at = get_u32le(file.data() + psar + kDiscListAt + 4 * i);
      if (at == 0) break;
      headers.push_back(psar + at);
    }
    if (headers.empty()) {
      *refusal = Refusal::kUnknown;
      return false;
    }
  } else {
    if (!holds(file, psar, std::strlen(kTitleMagic))) return false;
    headers.push_back(psar);
  }
  for (uint64_t at : headers) {
    Disc disc;
    *refusal = read_disc(file, at, disc);
    if (*refusal != Refusal::kNone) {
      image = Image{};
      return false;
    }
    image.discs.push_back(std::move(disc));
  }
  return true;
}

std::size_t block_bin_bytes(const Disc& disc, uint32_t n) {
  const uint64_t at = uint64_t{n} * kBlockBytes;
  if (at >= disc.bin_size) return 0;
  return static_cast<std::size_t>(
      std::min<uint64_t>(kBlockBytes, disc.bin_size - at));
}

struct BlockDecoder::State {
  z_stream z{};
  bool ready = false;
};

BlockDecoder::BlockDecoder() : state_(std::make_unique<State>()) {
  state_->ready = inflateInit2(&state_->z, -15) == Z_OK;
}

BlockDecoder::~BlockDecoder() {
  if (state_->ready) inflateEnd(&state_->z);
}

bool BlockDecoder::decode(std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (out.size() != kBlockBytes) return false;
  if (in.size() == kBlockBytes) {
    std::memcpy(out.data(), in.data(), kBlockBytes);
    return true;
  }
  bool ok = false;
  z_stream& z = state_->z;
  if (state_->ready && inflateReset(&z) == Z_OK) {
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    int r = inflate(&z, Z_FINISH);
    if (r == Z_BUF_ERROR && z.avail_out == 0) {
      // Full: the block is whole unless its data goes on past 0x9300 bytes.
      uint8_t more;
      z.next_out = &more;
      z.avail_out = 1;
      r = inflate(&z, Z_FINISH);
      ok = z.avail_out == 1 && (r == Z_STREAM_END || r == Z_BUF_ERROR);
    } else {
      ok = r == Z_STREAM_END && z.avail_out == 0;
    }
  }
  if (!ok) std::memset(out.data(), 0, out.size());
  return ok;
}

bool BlockDecoder::decode(std::span<const uint8_t> file, const Disc& disc,
                          uint32_t n, std::span<uint8_t> out) {
  const bool there = n < disc.blocks.size() &&
                     holds(file, disc.blocks[n].offset, disc.blocks[n].size);
  if (!there || out.size() != kBlockBytes) {
    std::memset(out.data(), 0, out.size());
    return false;
  }
  const Block& b = disc.blocks[n];
  return decode(file.subspan(static_cast<std::size_t>(b.offset), b.size), out);
}

bool decode_disc(std::span<const uint8_t> file, const Disc& disc,
                 unsigned threads, std::span<uint8_t> bin,
                 std::vector<uint32_t>& damaged) {
  damaged.clear();
  if (bin.size() != disc.bin_size) return false;
  // Each block goes straight to its place in the BIN (the last one, cut in
  // the BIN, through the unit's own buffer): the consumer only keeps the
  // damaged ones, in order.
  auto make_decoder = [&]() -> UnitDecoder {
    auto decoder = std::make_shared<BlockDecoder>();
    return [&, decoder](uint64_t n,
                        std::span<uint8_t> out) -> std::optional<std::size_t> {
      const uint32_t k = static_cast<uint32_t>(n);
      const std::size_t size = block_bin_bytes(disc, k);
      uint8_t* at = bin.data() + std::size_t{k} * kBlockBytes;
      const bool whole = size == kBlockBytes;
      const bool ok =
          decoder->decode(file, disc, k, whole ? std::span(at, size) : out);
      if (!whole) std::memcpy(at, out.data(), size);
      if (!ok) return std::nullopt;
      return std::size_t{0};
    };
  };
  try {
    decode_in_order(disc.blocks.size(), kBlockBytes, threads, make_decoder,
                    [&](uint64_t n, std::span<uint8_t>, bool ok) {
                      if (ok) return true;
                      // Zeros, also where no decoder could be had.
                      const uint32_t k = static_cast<uint32_t>(n);
                      std::memset(bin.data() + std::size_t{k} * kBlockBytes, 0,
                                  block_bin_bytes(disc, k));
                      damaged.push_back(k);
                      return true;
                    });
  } catch (const std::bad_alloc&) {
    damaged.clear();
    return false;
  }
  return true;
}

std::string cue_sheet(const Disc& disc, const std::string& bin_name,
                      std::span<const uint8_t> bin) {
  if (disc.tracks.empty()) return one_track_cue_sheet(bin_name, bin);
  std::vector<CueTrack> tracks;
  for (std::size_t i = 0; i < disc.tracks.size(); ++i) {
    const Track& t = disc.tracks[i];
    const uint64_t end =
        i + 1 < disc.tracks.size() ? disc.tracks[i + 1].start : UINT64_MAX;
    tracks.push_back(
        {t.number,
         t.data ? data_track_mode(bin, t.start, end) : TrackMode::kAudio,
         t.start});
  }
  return cue_sheet_text(bin_name, tracks);
}

}  // namespace vexlo::pbp
