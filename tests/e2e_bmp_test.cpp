// End-to-end: bitmap files, checked against an independent decoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;

TEST(Bitmap, TheWorkedExampleGives1590Bytes) {
  Sandbox box;
  box.write("in.bin", embed(tim_4bit_32x16(), 4096, 100));
  box.config("infile=\"in.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("in.bin", 4516) +
                               report(4096, 320, 32, 16, "4-bit CLUT") +
                               total(1));
  EXPECT_EQ(box.files(), (std::vector<std::string>{"in.bin", "vexlo.cfg",
                                                   "x1.bmp", "x1.tim"}));
  EXPECT_EQ(box.read("x1.bmp").size(), 1590u);
}

TEST(Bitmap, NamedByOffset) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  box.write("in.bin", concat({tim, Bytes(4096 - 320, 0), tim, Bytes(100, 0)}));
  box.config(
      "infile=\"in.bin\" outname=\"x\" writebmp=\"1\" numbyoffset=\"1\"");
  box.run();
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{"in.bin", "vexlo.cfg", "x_0000000000.bmp",
                                      "x_0000004096.bmp"}));
}

TEST(Bitmap, MixedModeIsRefusedButCopiedAndCounted) {
  Sandbox box;
  TimLayout s{
      .flags = 0x0C, .clut_w = 256, .w = 2, .h = 2, .pixels = Bytes(8, 1)};
  const Bytes tim = make_tim(s);
  box.write("m.bin", embed(tim, 0, 64));
  box.config("infile=\"m.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\"");
  EXPECT_EQ(box.run().out,
            kHead + reading("m.bin", tim.size() + 64) +
                report(0, tim.size(), 4, 2, "Mixed") +
                "Can't write bitmap - tim in unsupported format.\n" + total(1));
  EXPECT_EQ(box.read("x1.tim"), tim);
  EXPECT_FALSE(box.exists("x1.bmp"));
}

TEST(Bitmap, ClaimsBeyondTheDataAreSkippedWithinAMemoryBound) {
  Sandbox box;
  TimLayout s;  // 65535 x 65535 15-bit pixels claimed by a 100-byte TIM
  s.flags = 0x02;
  s.w = 65535;
  s.h = 65535;
  s.image_len = 92;
  s.pixels.assign(80, 0);
  const Bytes tim = make_tim(s);
  box.write("h.bin", embed(tim, 0, 64));
  box.config(
      "infile=\"h.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
      "maxtims=\"1\"");
  // 8 GiB of picture would be needed; 4 GiB of address space must do (Wine
  // itself needs more than 1 GiB to start).
  const Outcome o = box.run(Sandbox::memory_limit(4096));
  EXPECT_EQ(o.out, kHead + reading("h.bin", 164) +
                       report(0, 100, 65535, 65535, "15-bit direct") +
                       "Can't write bitmap - pixel data runs past the end of "
                       "the file.\n" +
                       "Hit MAX_TIMS (1)\n" + total(1));
  EXPECT_TRUE(box.exists("x1.tim"));
  EXPECT_FALSE(box.exists("x1.bmp"));
}

// Decodes `file` to raw RGB with ImageMagick.
Bytes imagemagick_rgb(const fs::path& file, const fs::path& out) {
  const std::string cmd = "/usr/bin/convert '" + file.string() +
                          "' 'rgb:" + out.string() + "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return {};
  return read_file(out);
}

bool have_imagemagick() {
  return std::system(
             "/usr/bin/convert -version 2>/dev/null | "
             "grep -q ImageMagick") == 0;
}

TEST(Bitmap, RealTimsAgreeWithImageMagick) {
  if (!have_imagemagick()) GTEST_SKIP() << "ImageMagick is not installed";
  const char* files[] = {
      "15bit_144x144_stp_alpha.tim",
      "15bit_80x75_airport_psxdisk.tim",
      "15bit_8x8_airport_mouse.tim",
      "24bit_640x480_bunpattern.tim",
      "4bit_128x32_dbugfont_short_imglen.tim",
      "4bit_128x85_ferris.tim",
      "4bit_16x16_ball16c.tim",
      "4bit_256x96_n00bdemo_font.tim",
      "4bit_48x32_clktower.tim",
      "8bit_128x128_bungirl.tim",
      "8bit_128x129_sky.tim",
      "8bit_24x32_airport_gamepln.tim",
  };
  for (const char* name : files) {
    Sandbox box;
    const fs::path original = data_path(std::string("real/") + name);
    box.write("in.tim", read_file(original));
    box.config("infile=\"in.tim\" outname=\"x\" writebmp=\"1\"");
    box.run();
    ASSERT_TRUE(box.exists("x1.bmp")) << name;
    const Bytes want = imagemagick_rgb(original, box.path("want.rgb"));
    const Bytes got = imagemagick_rgb(box.path("x1.bmp"), box.path("got.rgb"));
    ASSERT_FALSE(want.empty()) << name;
    ASSERT_EQ(got.size(), want.size()) << name;
    // ImageMagick widens 5-bit colour by bit replication; we shift only.
    // Outside 24-bit mode our low three bits are always zero.
    const uint8_t low = std::string(name).rfind("24bit", 0) == 0 ? 0 : 7;
    std::size_t differ = 0;
    for (std::size_t i = 0; i < got.size(); ++i)
      differ += (got[i] & 0xF8) != (want[i] & 0xF8) || (got[i] & low) != 0;
    EXPECT_EQ(differ, 0u) << name;
  }
}

}  // namespace
}  // namespace vexlo::test
