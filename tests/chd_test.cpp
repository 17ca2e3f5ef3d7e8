// CHD CD images: the header, map and metadata checks, and hunk decoding.
#include "disc/chd.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/expected.h"

namespace vexlo::test {
namespace {

// Made by chdman createcd (cdlz, cdzl) from 400 Mode 1 sectors with valid
// ECC, which chdman takes out and a reader must make again.
Bytes fixture() {
  std::ifstream in(VEXLO_TEST_DATA "/chd/mode1_ecc.chd", std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void put_be(Bytes& f, std::size_t at, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i, v >>= 8) f[at + i] = static_cast<uint8_t>(v);
}

uint64_t get_be(const Bytes& f, std::size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | f[at + i];
  return v;
}

TEST(Chd, FramesWithEccTakenOutComeBackWhole) {
  const Bytes file = fixture();
  chd::Image image;
  chd::Refusal why;
  ASSERT_TRUE(chd::open_image(file, image, &why));
  ASSERT_EQ(image.tracks.size(), 1u);
  EXPECT_EQ(image.bin_size, 400u * 2352);
  chd::HunkDecoder decoder(image);
  Bytes hunk(image.hunk_bytes);
  for (uint32_t n = 0; n < image.map.size(); ++n) {
    // The CRC of each hunk, taken before chdman removed the sync and ECC,
    // holds only if both are made again exactly.
    ASSERT_TRUE(decoder.decode(file, n, hunk)) << "hunk " << n;
    EXPECT_EQ(hunk[1], 0xFF);
    EXPECT_EQ(hunk[15], 1);
  }
}

TEST(Chd, ZstdHunk) {
  // Eight frames: one sector bitmap byte (nothing taken out), the length
  // of the compressed sectors, then they and the subcode, each zstd.
  Bytes frames(8 * chd::kFrameSize);
  for (std::size_t i = 0; i < frames.size(); ++i)
    frames[i] = static_cast<uint8_t>(i * 7 / 3);
  Bytes sectors, subcode;
  for (std::size_t f = 0; f < 8; ++f) {
    const auto at = frames.begin() + f * chd::kFrameSize;
    sectors.insert(sectors.end(), at, at + chd::kSectorSize);
    subcode.insert(subcode.end(), at + chd::kSectorSize, at + chd::kFrameSize);
  }
  auto zstd = [](const Bytes& in) {
    Bytes out(ZSTD_compressBound(in.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3));
    return out;
  };
  const Bytes a = zstd(sectors), b = zstd(subcode);
  Bytes hunk = {0, static_cast<uint8_t>(a.size() >> 8),
                static_cast<uint8_t>(a.size())};
  hunk = concat({hunk, a, b});
  chd::Image image;
  chd::HunkDecoder decoder(image);
  Bytes out(frames.size());
  ASSERT_TRUE(decoder.decode_codec(0x63647A73, hunk, out));
  EXPECT_EQ(out, frames);
  hunk.pop_back();
  EXPECT_FALSE(decoder.decode_codec(0x63647A73, hunk, out));
}

TEST(Chd, HostileFilesAreRefused) {
  const Bytes good = fixture();
  const uint64_t map_at = get_be(good, 40, 8);
  using R = chd::Refusal;
  struct Case {
    const char* name;
    std::size_t at;  // big-endian field to set, or ~0 to cut the file there
    int bytes;
    uint64_t value;
    R want;
  } cases[] = {
      {"version 4", 12, 4, 4, R::kVersion},
      {"parent SHA1", 104, 1, 1, R::kParent},
      {"hunk bytes 0", 56, 4, 0, R::kHunkBytes},
      {"hunk bytes not whole frames", 56, 4, 2449, R::kHunkBytes},
      {"hunk bytes over 1 MiB", 56, 4, 2448 * 429, R::kHunkBytes},
      {"codec zlib", 16, 4, 0x7A6C6962, R::kCodec},
      {"no metadata", 48, 8, 0, R::kNotCd},
      {"metadata in a loop", 124 + 8, 8, 124, R::kDamaged},
      {"map past the end", 40, 8, good.size() - 4, R::kDamaged},
      {"terabytes of hunks", 32, 8, uint64_t{1} << 40, R::kDamaged},
      {"map bits flipped", map_at + 20, 1, 0x5A, R::kDamaged},
      {"map CRC", map_at + 10, 2, 0, R::kDamaged},
      {"header cut", ~std::size_t{0}, 100, 0, R::kDamaged},
  };
  for (const Case& c : cases) {
    Bytes f = good;
    if (c.at == ~std::size_t{0})
      f.resize(static_cast<std::size_t>(c.bytes));
    else
      put_be(f, c.at, c.value, c.bytes);
    chd::Image image;
    chd::Refusal why = R::kNone;
    EXPECT_FALSE(chd::open_image(f, image, &why)) << c.name;
    EXPECT_EQ(why, c.want) << c.name;
  }
  EXPECT_EQ(chd::refusal_text(R::kVersion, 4),
            "CHD version 4 (convert it with a current chdman)");
}

TEST(Chd, DamagedHunkFailsAlone) {
  Bytes file = fixture();
  chd::Image image;
  chd::Refusal why;
  ASSERT_TRUE(chd::open_image(file, image, &why));
  uint32_t victim = 0;
  while (image.map[victim].type > 3 || image.map[victim].length < 16) ++victim;
  file[image.map[victim].offset + image.map[victim].length / 2] ^= 0x55;
  chd::HunkDecoder decoder(image);
  Bytes hunk(image.hunk_bytes);
  for (uint32_t n = 0; n < image.map.size(); ++n) {
    // Copies of the damaged hunk are damaged too.
    const chd::MapEntry& e = image.map[n];
    const bool bad =
        n == victim || (e.type == chd::kTypeSelf && e.offset == victim);
    EXPECT_EQ(decoder.decode(file, n, hunk), !bad) << "hunk " << n;
  }
}

// An image of `tracks` as the metadata gives them: type, frames, pregap
// (with the pregap's data in the BIN when `pregap_data`), postgap, subcode.
chd::Image image_of(std::vector<chd::Track> tracks) {
  chd::Image image;
  image.frames_per_hunk = 8;
  uint64_t frame = 0, bin = 0;
  for (chd::Track& t : tracks) {
    t.audio = t.type == "AUDIO";
    t.data_size = t.type == "MODE1" ? 2048 : t.type == "MODE2" ? 2336 : 2352;
    t.chd_frame = static_cast<uint32_t>(frame);
    t.bin_offset = bin;
    frame += (t.frames + 3) / 4 * 4;
    bin += uint64_t{t.frames} * (t.data_size + t.sub_size);
  }
  image.tracks = tracks;
  image.bin_size = bin;
  return image;
}

chd::Track track(const char* type, uint32_t frames, uint32_t pregap = 0,
                 bool pregap_data = false, uint32_t postgap = 0,
                 uint32_t sub = 0) {
  chd::Track t;
  t.type = type;
  t.frames = frames;
  t.pregap = pregap;
  t.pregap_data = pregap_data;
  t.postgap = postgap;
  t.sub_size = sub;
  return t;
}

// The layout and cue sheet come from the metadata alone; the cue sheets are
// those chdman extractcd writes for the same tracks.
TEST(Chd, LayoutAndCueSheetFollowTheMetadata) {
  const struct {
    const char* name;
    std::vector<chd::Track> tracks;
    bool raw;
    std::size_t sector;
    const char* cue;
  } cases[] = {
      {"raw data, audio with and without its pregap, then data",
       {track("MODE1_RAW", 75), track("AUDIO", 150, 10, true),
        track("AUDIO", 75, 150, false, 5), track("MODE2_RAW", 100)},
       true,
       2352,
       "FILE \"x.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 "
       "00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:01:00\n    INDEX 01 "
       "00:01:10\n  TRACK 03 AUDIO\n    PREGAP 00:02:00\n    INDEX 01 "
       "00:03:00\n    POSTGAP 00:00:05\n  TRACK 04 MODE2/2352\n    INDEX 01 "
       "00:04:00\n"},
      {"2048-byte sectors",
       {track("MODE1", 300)},
       false,
       0,
       "FILE \"x.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 "
       "00:00:00\n"},
      {"2336-byte sectors",
       {track("MODE2", 300)},
       true,
       2336,
       "FILE \"x.bin\" BINARY\n  TRACK 01 MODE2/2336\n    INDEX 01 "
       "00:00:00\n"},
      {"subcode",
       {track("MODE2_RAW", 9, 0, false, 0, 96)},
       true,
       2448,
       nullptr},
      {"audio first",
       {track("AUDIO", 9), track("MODE1_RAW", 9)},
       false,
       0,
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const chd::Image image = image_of(c.tracks);
    const chd::BinLayout layout = chd::bin_layout(image);
    EXPECT_EQ(layout.raw, c.raw);
    if (c.raw) {
      EXPECT_EQ(sector_size(layout.format), c.sector);
    }
    if (c.cue) {
      EXPECT_EQ(chd::cue_sheet(image, "x.bin"), c.cue);
    }
  }
}

// Hunks map to BIN bytes through the tracks, without the padding frames.
TEST(Chd, HunkBinRanges) {
  const chd::Image image =
      image_of({track("MODE1_RAW", 10), track("MODE1", 6)});
  // Frames 0-9, padding 10-11, then the 2048-byte track from frame 12.
  const struct {
    uint32_t hunk;
    uint64_t begin, end;
  } cases[] = {{0, 0, 8 * 2352},
               {1, 8 * 2352, 10 * 2352 + 4 * 2048},
               {2, 10 * 2352 + 4 * 2048, 10 * 2352 + 6 * 2048},
               {3, 0, 0}};
  for (const auto& c : cases) {
    const chd::BinRange r = chd::hunk_bin_range(image, c.hunk);
    EXPECT_EQ(r.begin, c.begin) << c.hunk;
    EXPECT_EQ(r.end, c.end) << c.hunk;
  }
}

}  // namespace
}  // namespace vexlo::test
