#include "disc/pbp.h"

#include <gtest/gtest.h>

#include <cstring>

#include "reinsert/disc_container.h"
#include "tests/disc_container_writer.h"

namespace vexlo::test {
namespace {

void put_u32(Bytes& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The BIN of `disc` as its blocks decode; *damaged gets the blocks that do
// not.
Bytes bin_of(const Bytes& file, const pbp::Disc& disc,
             std::vector<uint32_t>* damaged = nullptr) {
  pbp::BlockDecoder decoder;
  Bytes bin;
  Bytes block(pbp::kBlockBytes);
  for (uint32_t n = 0; n < disc.blocks.size(); ++n) {
    if (!decoder.decode(file, disc, n, block) && damaged != nullptr)
      damaged->push_back(n);
    bin.insert(
        bin.end(), block.begin(),
        block.begin() + static_cast<long>(pbp::block_bin_bytes(disc, n)));
  }
  return bin;
}

TEST(Pbp, EachDiscDecodesToItsBin) {
  const Bytes a = coded_image(40, {2, 2, 3, 1});  // 2.5 blocks
  const Bytes b = coded_image(32, {2}, 7);        // 2 blocks exactly
  const Bytes c = coded_image(3, {0}, 9);         // audio, less than a block
  struct Case {
    const char* what;
    std::vector<PbpDisc> discs;
    bool title;
  } cases[] = {
      {"one disc", {{a}}, false},
      {"one disc, stored blocks", {{.bin = a, .store_all = true}}, false},
      {"one disc under a title header", {{b}}, true},
      {"three discs", {{a, "_SLUS_00001"}, {b, "_SLUS_00002"}, {c}}, true},
      {"five discs", {{a}, {b}, {c}, {b}, {a}}, true},
  };
  for (const Case& k : cases) {
    std::vector<std::size_t> at;
    const Bytes file = make_pbp(k.discs, k.title, &at);
    pbp::Image image;
    pbp::Refusal why;
    ASSERT_TRUE(pbp::open_image(file, image, &why)) << k.what;
    ASSERT_EQ(image.discs.size(), k.discs.size()) << k.what;
    for (std::size_t i = 0; i < k.discs.size(); ++i) {
      const pbp::Disc& d = image.discs[i];
      EXPECT_EQ(d.header, at[i]) << k.what << i;
      EXPECT_EQ(d.game_code, k.discs[i].code) << k.what << i;
      EXPECT_EQ(d.blocks.size(), (k.discs[i].bin.size() + 0x92FF) / 0x9300);
      EXPECT_EQ(d.bin_size, k.discs[i].bin.size()) << k.what << i;
      std::vector<uint32_t> damaged;
      EXPECT_EQ(bin_of(file, d, &damaged), k.discs[i].bin) << k.what << i;
      EXPECT_TRUE(damaged.empty()) << k.what << i;
    }
  }
}

TEST(Pbp, RefusesHostileHeaders) {
  const PbpDisc one{coded_image(40, {2})};
  const Bytes single = make_pbp({one});
  const Bytes title = make_pbp({one, one});
  const std::size_t index = kPsarAt + kIndexAt;
  auto poke = [](Bytes b, std::size_t at, uint32_t v) {
    put_u32(b, at, v);
    return b;
  };
  auto cut = [](const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
  };
  using R = pbp::Refusal;
  struct Case {
    const char* what;
    Bytes file;
    R want;
  } cases[] = {
      {"no PBP magic", poke(single, 0, 0x50425051), R::kTruncated},
      {"an encrypted DATA.PSAR", poke(single, kPsarAt, 0x50535000),
       R::kUnknown},
      {"DATA.PSAR past the end", poke(single, 0x24, 0xFFFFFFF0), R::kTruncated},
      {"DATA.PSAR at the file header", poke(single, 0x24, 0), R::kUnknown},
      {"cut in the disc header", cut(single, kPsarAt + 0x3000), R::kTruncated},
      {"cut in the block index", cut(single, index + 40), R::kTruncated},
      {"cut in the last block", cut(single, single.size() - 1), R::kTruncated},
      {"a block offset past the end", poke(single, index + 32, 0xFFFFFF00),
       R::kTruncated},
      {"a title naming no disc", poke(title, kPsarAt + kDiscListAt, 0),
       R::kUnknown},
      {"a title naming itself", poke(title, kPsarAt + kDiscListAt + 4, 0x10),
       R::kUnknown},
      {"a title naming a disc past the end",
       poke(title, kPsarAt + kDiscListAt + 4, 0x7FFFFFFF), R::kTruncated},
      {"a title cut before its disc list", cut(title, kPsarAt + 0x100),
       R::kTruncated},
  };
  for (const Case& c : cases) {
    pbp::Image image;
    R why = R::kNone;
    EXPECT_FALSE(pbp::open_image(c.file, image, &why)) << c.what;
    EXPECT_EQ(why, c.want) << c.what;
    EXPECT_TRUE(image.discs.empty()) << c.what;
  }
  EXPECT_EQ(pbp::refusal_text(R::kUnknown), "encrypted or unknown PBP");
  EXPECT_EQ(pbp::refusal_text(R::kTruncated), "truncated");
}

TEST(Pbp, IndexesEndAndBlocksAreChecked) {
  const Bytes bin = coded_image(64, {2, 3}, 3);
  Bytes file = make_pbp({{bin}});
  const std::size_t index = kPsarAt + kIndexAt;
  pbp::Image image;
  pbp::Refusal why;

  // A full index whose every entry names the first block: 32256 entries,
  // no more, whatever follows them.
  Bytes full = file;
  for (uint32_t n = 0; n < pbp::kMaxBlocks; ++n)
    std::memcpy(full.data() + index + 32 * n, file.data() + index, 32);
  ASSERT_TRUE(pbp::open_image(full, image, &why));
  EXPECT_EQ(image.discs[0].blocks.size(), pbp::kMaxBlocks);
  EXPECT_EQ(image.discs[0].bin_size, uint64_t{pbp::kMaxBlocks} * 0x9300)
      << "the lead-out lies inside the first blocks: not a cut";

  // Damaged blocks cost their own bytes only.
  const std::size_t first = kPsarAt + kBlocksAt;
  file[first + 10] ^= 0xFF;  // bad deflate data
  // The second block's size cut to 100: it inflates to fewer bytes.
  file[index + 32 + 4] = 100;
  file[index + 32 + 5] = 0;
  ASSERT_TRUE(pbp::open_image(file, image, &why));
  std::vector<uint32_t> damaged;
  const Bytes got = bin_of(file, image.discs[0], &damaged);
  EXPECT_EQ(damaged, (std::vector<uint32_t>{0, 1}));
  EXPECT_EQ(Bytes(got.begin() + 2 * 0x9300, got.end()),
            Bytes(bin.begin() + 2 * 0x9300, bin.end()));
  EXPECT_EQ(got[5], 0) << "a damaged block reads as zeros";
  // Decoded on any number of threads, the same BIN and the same list.
  for (unsigned threads : {1u, 2u, 5u}) {
    Bytes all(image.discs[0].bin_size);
    std::vector<uint32_t> bad;
    ASSERT_TRUE(pbp::decode_disc(file, image.discs[0], threads, all, bad));
    EXPECT_EQ(all, got) << threads;
    EXPECT_EQ(bad, damaged) << threads;
  }

  pbp::BlockDecoder d;
  Bytes out(pbp::kBlockBytes);
  const Bytes exact = deflate_raw(Bytes(0x9300, 1));
  Bytes padded = exact;
  padded.resize(padded.size() + 16, 0);
  struct Case {
    const char* what;
    Bytes in;
    bool ok;
  } blocks[] = {
      {"stored", Bytes(0x9300, 7), true},
      {"deflated", exact, true},
      {"deflated, padding after it", padded, true},
      {"deflated, one byte short", deflate_raw(Bytes(0x92FF, 1)), false},
      {"deflated, one byte over", deflate_raw(Bytes(0x9301, 1)), false},
      {"cut short", Bytes(exact.begin(), exact.end() - 3), false},
      {"nothing", {}, false},
      {"garbage", Bytes(100, 0xFF), false},
  };
  for (const Case& c : blocks) {
    EXPECT_EQ(d.decode(c.in, out), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(out, Bytes(0x9300, 0)) << c.what;
    }
  }
}

TEST(Pbp, CueSheetsFollowTheContents) {
  const Bytes data = coded_image(20, {1});
  Bytes bin = data;
  const Bytes audio = coded_image(80, {0});
  bin.insert(bin.end(), audio.begin(), audio.end());
  struct Case {
    const char* what;
    std::vector<TocTrack> tracks;
    const char* want;
  } cases[] = {
      {"data and audio",
       {{1, true, 0}, {2, false, 20}, {3, false, 5000}},
       "FILE \"g.bin\" BINARY\n"
       "  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"
       "  TRACK 02 AUDIO\n    INDEX 01 00:00:20\n"
       "  TRACK 03 AUDIO\n    INDEX 01 01:06:50\n"},
      {"no contents",
       {},
       "FILE \"g.bin\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n"},
  };
  for (const Case& c : cases) {
    const Bytes file = make_pbp({{.bin = bin, .tracks = c.tracks}});
    pbp::Image image;
    pbp::Refusal why;
    ASSERT_TRUE(pbp::open_image(file, image, &why)) << c.what;
    EXPECT_EQ(pbp::cue_sheet(image.discs[0], "g.bin", bin), c.want) << c.what;
  }
}

}  // namespace
}  // namespace vexlo::test

namespace vexlo::test {
namespace {

TEST(DiscContainer, CopiesAreNamedAfterTheBinTheyHold) {
  const Bytes mode1 = coded_image(20, {1});
  const Bytes pbp = make_pbp({{mode1}, {coded_image(17, {2})}});
  const Bytes ecm = ecm_encode(coded_image(3, {0, 2}));
  struct Case {
    const char* what;
    const Bytes* file;
    const char* path;
    int disc;
    const char* name;  // of the copy; empty when it cannot be opened
    const char* cue_mode;
  } cases[] = {
      {"disc 1", &pbp, "dir/game.pbp", 1, "dir/game.bin", "MODE1/2352"},
      {"disc 2", &pbp, "game.PBP", 2, "game_disc2.bin", "MODE2/2352"},
      {"no disc 3", &pbp, "game.pbp", 3, "", ""},
      {"an ECM of a BIN", &ecm, "a.b/game.bin.ecm", 1, "a.b/game.bin",
       "MODE2/2352"},
      {"upper case", &ecm, "GAME.BIN.ECM", 1, "GAME.BIN", "MODE2/2352"},
      {"another ECM name", &ecm, "a.b/game.ecm", 1, "a.b/game.bin",
       "MODE2/2352"},
      {"no extension", &ecm, "a.b/game", 1, "a.b/game.bin", "MODE2/2352"},
      {"an ECM has one disc", &ecm, "game.ecm", 2, "", ""},
  };
  for (const Case& c : cases) {
    ContainerBin bin;
    const std::string why = open_container(*c.file, c.disc, bin);
    EXPECT_EQ(why.empty(), *c.name != 0) << c.what << ": " << why;
    if (!why.empty()) continue;
    EXPECT_EQ(container_bin_name(c.path, bin), c.name) << c.what;
    EXPECT_NE(container_cue_sheet(bin, bin.bin, "x.bin")
                  .find(std::string("TRACK 01 ") + c.cue_mode),
              std::string::npos)
        << c.what;
  }
}

}  // namespace
}  // namespace vexlo::test
