// End-to-end: the real TIMs of tests/data/real embedded in random bytes,
// scanned with looseflags and strict.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

struct Real {
  const char* file;
  std::size_t total;
  int w, h;
  const char* mode;
  bool garbage_flags = false;  // flags bytes 1-3 not zero: needs looseflags
  bool no_clut = false;        // 4-bit without a CLUT block: needs looseflags
  bool short_length = false;   // image length below its pixels: fails strict
};

const Real kReal[] = {
    {"15bit_144x144_stp_alpha.tim", 41492, 144, 144, "15-bit direct"},
    {"15bit_80x75_airport_psxdisk.tim", 12020, 80, 75, "15-bit direct"},
    {"15bit_8x8_airport_mouse.tim", 148, 8, 8, "15-bit direct"},
    {"24bit_640x480_bunpattern.tim", 921620, 640, 480, "24-bit direct"},
    {"4bit_128x32_dbugfont_short_imglen.tim", 80, 128, 32, "4-bit CLUT", false,
     false, true},
    {"4bit_128x85_ferris.tim", 5504, 128, 85, "4-bit CLUT"},
    {"4bit_16x16_ball16c.tim", 192, 16, 16, "4-bit CLUT"},
    {"4bit_256x24_psxsnake_font_flags0_noclut.tim", 3092, 256, 24, "4-bit CLUT",
     false, true},
    {"4bit_256x96_n00bdemo_font.tim", 12352, 256, 96, "4-bit CLUT"},
    {"4bit_48x32_clktower.tim", 832, 48, 32, "4-bit CLUT"},
    {"8bit_128x128_bungirl.tim", 16928, 128, 128, "8-bit CLUT"},
    {"8bit_128x129_sky.tim", 17056, 128, 129, "8-bit CLUT"},
    {"8bit_24x32_airport_gamepln.tim", 1312, 24, 32, "8-bit CLUT"},
    {"8bit_256x256_tiles_flags_0028F609.tim", 66080, 256, 256, "8-bit CLUT",
     true},
};

TEST(Keys, RealTimsInRandomBytes) {
  // Seeded filler of 37 to 2083 bytes before each TIM, so offsets fall on
  // every residue mod 4.
  std::mt19937 rng(11);
  Bytes file;
  std::vector<std::size_t> offsets;
  for (const Real& r : kReal) {
    const std::size_t gap = 37 + rng() % 2047;
    for (std::size_t i = 0; i < gap; ++i)
      file.push_back(static_cast<uint8_t>(rng()));
    offsets.push_back(file.size());
    const Bytes tim = read_file(data_path(std::string("real/") + r.file));
    file.insert(file.end(), tim.begin(), tim.end());
  }
  file.resize(file.size() + 500, 0xAA);

  for (int keys = 0; keys < 4; ++keys) {
    Sandbox box;
    box.write("mix.bin", file);
    const bool loose = keys & 1, strict = keys & 2;
    SCOPED_TRACE(testing::Message()
                 << "looseflags " << loose << " strict " << strict);
    box.config(std::string("infile=\"mix.bin\" maxtims=\"100\" outname=\"o\" "
                           "writetim=\"1\" writebmp=\"1\"") +
               (loose ? " looseflags=\"1\"" : "") +
               (strict ? " strict=\"1\"" : ""));
    std::string want = kHead + reading("mix.bin", file.size());
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < std::size(kReal); ++i) {
      const Real& r = kReal[i];
      if ((r.garbage_flags || r.no_clut) && !loose) continue;
      if (r.short_length && strict) continue;
      want += report(offsets[i], r.total, r.w, r.h, r.mode);
      found.push_back(i);
    }
    want += total(static_cast<int>(found.size()));
    ASSERT_EQ(box.run().out, want);
    for (std::size_t n = 0; n < found.size(); ++n) {
      const Real& r = kReal[found[n]];
      const std::string stem = std::string("o") + std::to_string(n + 1);
      Bytes tim = read_file(data_path(std::string("real/") + r.file));
      tim.resize(r.total);
      EXPECT_EQ(box.read(stem + ".tim"), tim) << r.file;
      const Bytes bmp = box.read(stem + ".bmp");
      ASSERT_EQ(bmp.size(), 54 + ((r.w * 3 + 3) & ~3) * std::size_t(r.h))
          << r.file;
      if (!r.no_clut) continue;
      // Its palette is elsewhere: every pixel is a shade of grey.
      for (std::size_t at = 54; at + 2 < bmp.size(); at += 3)
        ASSERT_TRUE(bmp[at] == bmp[at + 1] && bmp[at] == bmp[at + 2]) << at;
    }
  }
}

}  // namespace
}  // namespace vexlo::test
