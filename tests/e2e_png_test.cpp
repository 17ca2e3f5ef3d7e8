// End-to-end: PNG output and one image per CLUT row. Every PNG is checked by
// pngcheck and decoded by ImageMagick against the colour and alpha rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/expected.h"
#include "tests/png_check.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class Png : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = png_tools_missing(); !why.empty())
      GTEST_SKIP() << why;
  }
};

// The image `name` against CLUT row `row` of the TIM file `tim`.
void expect_image(const Sandbox& box, const std::string& name, const Bytes& tim,
                  int row) {
  SCOPED_TRACE(name);
  if (name.ends_with(".bmp")) {
    EXPECT_EQ(magick_pixels(box.path(name), true),
              expected_pixels(tim, row, true));
    return;
  }
  EXPECT_TRUE(pngcheck_ok(box.path(name)));
  const PngInfo info = read_png_info(box.read(name));
  const int mode = tim[4] & 7;
  EXPECT_EQ(info.depth, mode == 0 ? 4 : 8);
  EXPECT_EQ(info.colour_type, mode <= 1 ? 3 : mode == 2 ? 6 : 2);
  Bytes plte, trns;
  EXPECT_EQ(magick_pixels(box.path(name)),
            expected_pixels(tim, row, false, 0, &plte, &trns));
  if (mode <= 1) {
    EXPECT_EQ(info.plte, plte);
    EXPECT_EQ(info.trns, trns);
  }
}

Bytes real(const std::string& name) {
  return read_file(data_path("real/" + name));
}

const char* const kReal[] = {
    "15bit_144x144_stp_alpha.tim",  // 0x0000 and 0x8000 by the thousand
    "15bit_80x75_airport_psxdisk.tim", "15bit_8x8_airport_mouse.tim",
    "24bit_640x480_bunpattern.tim",    "4bit_128x32_dbugfont_short_imglen.tim",
    "4bit_128x85_ferris.tim",          "4bit_16x16_ball16c.tim",
    "4bit_256x96_n00bdemo_font.tim",   "4bit_48x32_clktower.tim",
    "8bit_128x128_bungirl.tim",        "8bit_128x129_sky.tim",
    "8bit_24x32_airport_gamepln.tim",
};

TEST_F(Png, RealTimsOfEveryModeFollowTheRules) {
  for (const char* file : kReal) {
    SCOPED_TRACE(file);
    Sandbox box;
    box.write("in.tim", real(file));
    box.config("infile=\"in.tim\" outname=\"x\" writebmp=\"0\" writepng=\"1\"");
    box.run();
    EXPECT_EQ(box.files(), (Names{"in.tim", "vexlo.cfg", "x1.png"}));
    expect_image(box, "x1.png", real(file), 0);
  }
}

// Real CLUTs as several rows: a 4-bit one as the original, then reversed
// with the special values 0x0000, 0x8000 and 0x801F, then with every STP
// bit flipped; an 8-bit one with a second row of rotated components.
Bytes multi_row(bool four_bit) {
  const Bytes src = real(four_bit ? "4bit_16x16_ball16c.tim"
                                  : "8bit_24x32_airport_gamepln.tim");
  const int n = four_bit ? 16 : 256;
  TimLayout s{.flags = four_bit ? 0x08u : 0x09u,
              .clut_w = uint16_t(n),
              .clut_h = uint16_t(four_bit ? 3 : 2),
              .w = uint16_t(four_bit ? 4 : 12),
              .h = uint16_t(four_bit ? 16 : 32)};
  std::vector<uint16_t> row0;
  for (int k = 0; k < n; ++k)
    row0.push_back(src[20 + 2 * k] | src[21 + 2 * k] << 8);
  s.clut = row0;
  if (four_bit) {
    s.clut.insert(s.clut.end(), row0.rbegin(), row0.rend());
    s.clut[16] = 0x0000, s.clut[17] = 0x8000, s.clut[18] = 0x801F;
  }
  for (uint16_t v : row0)
    s.clut.push_back(four_bit
                         ? v ^ 0x8000
                         : (v & 0x8000) | (v & 0x7FFF) >> 5 | (v & 31) << 10);
  s.pixels.assign(src.begin() + 32 + 2 * n, src.end());
  return make_tim(s);
}

const std::string kMulti =
    "WARNING: CLUT is multi-layered, defaulting to first clut entry table "
    "(may not look correct over full image).\n";

TEST_F(Png, AllClutsWritesEveryRowInBothKinds) {
  Sandbox box;
  const Bytes t4 = multi_row(true), t8 = multi_row(false);
  box.write("in.bin", concat({t4, t8, Bytes(64, 0)}));
  box.config(
      "infile=\"in.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
      "writepng=\"1\" allcluts=\"1\"");
  EXPECT_EQ(box.run().out,
            kHead + reading("in.bin", t4.size() + t8.size() + 64) +
                report(0, t4.size(), 16, 16, "4-bit CLUT") + kMulti +
                report(t4.size(), t8.size(), 24, 32, "8-bit CLUT") + kMulti +
                total(2));
  EXPECT_EQ(
      box.files(),
      (Names{"in.bin", "vexlo.cfg", "x1.bmp", "x1.png", "x1.tim", "x1_pal1.bmp",
             "x1_pal1.png", "x1_pal2.bmp", "x1_pal2.png", "x2.bmp", "x2.png",
             "x2.tim", "x2_pal1.bmp", "x2_pal1.png"}));
  for (const char* ext : {".bmp", ".png"}) {
    for (int row = 0; row < 3; ++row)
      expect_image(box, (row ? "x1_pal" + std::to_string(row) : "x1") + ext, t4,
                   row);
    expect_image(box, std::string("x2") + ext, t8, 0);
    expect_image(box, std::string("x2_pal1") + ext, t8, 1);
  }
}

TEST_F(Png, NibbleOrderOddWidthsAndSpecialColours) {
  const Bytes tims[] = {
      // 4-bit: byte 0x21 is index 1 on the left, 2 on the right.
      make_tim({.clut = {0x0000, 0x001F, 0x03E0, 0x7C00, 0x8000, 0x801F},
                .w = 1,
                .h = 3,
                .pixels = {0x21, 0x43, 0x05, 0x50, 0x12, 0x34}}),
      // 15-bit, width 3, so rows start at odd pixels.
      make_tim({.flags = 0x02,
                .w = 3,
                .h = 3,
                .pixels = {0, 0, 0, 0x80, 0x1F, 0x80, 0xFF, 0x7F, 0xE0, 0x83,
                           0x21, 0x04, 0, 0xFC, 0x10, 0x42, 1, 0}}),
      // 24-bit, w 5: width 3, read as one run.
      make_tim({.flags = 0x03,
                .w = 5,
                .h = 2,
                .pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                           16, 17, 18}}),
      make_tim({.flags = 0x09,
                .clut_w = 256,
                .clut = {0x1234, 0x8001, 0x7FFF},
                .w = 1,
                .h = 3,
                .pixels = {0, 1, 2, 1, 0, 2}}),
  };
  for (const Bytes& tim : tims) {
    SCOPED_TRACE(tim[4]);
    Sandbox box;
    box.write("in.bin", embed(tim, 0, 64, 0));
    box.config(
        "infile=\"in.bin\" outname=\"x\" writepng=\"1\" mintimsize=\"1\"");
    box.run();
    expect_image(box, "x1.png", tim, 0);
  }
}

TEST_F(Png, ClutWithoutRowsGetsAGreyRamp) {
  Sandbox box;
  const Bytes tim =
      make_tim({.clut_len = 12,
                .clut_h = 0,
                .w = 2,
                .h = 2,
                .pixels = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}});
  box.write("in.bin", embed(tim, 0, 64));
  box.config(
      "infile=\"in.bin\" outname=\"x\" writebmp=\"1\" writepng=\"1\" "
      "allcluts=\"1\" mintimsize=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("in.bin", tim.size() + 64) +
                               report(0, tim.size(), 8, 2, "4-bit CLUT") +
                               kMulti + total(1));
  EXPECT_EQ(box.files(), (Names{"in.bin", "vexlo.cfg", "x1.bmp", "x1.png"}));
  EXPECT_TRUE(pngcheck_ok(box.path("x1.png")));
  Bytes ramp, pixels;  // indices 0..15 in order
  for (int k = 0; k < 16; ++k) {
    ramp.insert(ramp.end(), 3, uint8_t(17 * k));
    pixels.insert(pixels.end(),
                  {uint8_t(17 * k), uint8_t(17 * k), uint8_t(17 * k), 255});
  }
  EXPECT_EQ(read_png_info(box.read("x1.png")).plte, ramp);
  EXPECT_EQ(read_png_info(box.read("x1.png")).trns, Bytes(16, 255));
  EXPECT_EQ(magick_pixels(box.path("x1.png")), pixels);
}

TEST_F(Png, RefusalsArePrintedOncePerTim) {
  const Bytes mixed = make_tim({.flags = 0x0C,
                                .clut_w = 256,
                                .clut_h = 2,
                                .w = 2,
                                .h = 2,
                                .pixels = Bytes(8, 1)});
  const Bytes past_end = make_tim({.flags = 0x02,
                                   .image_len = 92,
                                   .w = 300,
                                   .h = 300,
                                   .pixels = Bytes(80, 0)});
  const std::string unsupported = " - tim in unsupported format.\n",
                    past = " - pixel data runs past the end of the file.\n";
  struct {
    const Bytes& tim;
    const char* keys;
    std::string line;
  } cases[] = {
      {mixed, "writebmp=\"1\" allcluts=\"1\"", "bitmap" + unsupported},
      {mixed, "writebmp=\"0\"", "PNG" + unsupported},
      {past_end, "writebmp=\"1\"", "bitmap" + past},
      {past_end, "writebmp=\"0\"", "PNG" + past},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    Sandbox box;
    box.write("in.bin", embed(c.tim, 0, 64));
    box.config(std::string("infile=\"in.bin\" outname=\"x\" writepng=\"1\" ") +
               c.keys);
    const std::string out = box.run().out;
    EXPECT_NE(out.find("Can't write " + c.line), std::string::npos) << out;
    EXPECT_EQ(out.find("Can't write"), out.rfind("Can't write")) << out;
    EXPECT_EQ(box.files(), (Names{"in.bin", "vexlo.cfg"}));
  }
}

TEST_F(Png, NamesByOffsetKeepEveryTimOfATreeSearch) {
  Sandbox box;
  box.write("in/a.bin", embed(multi_row(true), 10, 64));
  box.write("in/b.bin", embed(multi_row(true), 10, 64));
  fs::create_directory(box.path("out"));
  box.config(
      "inpath=\"in\" outname=\"out/x\" writebmp=\"1\" writepng=\"1\" "
      "allcluts=\"1\" numbyoffset=\"1\"");
  box.run();
  Names want;
  for (const char* stem : {"x_0000000010", "x_0000000010_2"})
    for (const char* row : {"", "_pal1", "_pal2"})
      for (const char* ext : {".bmp", ".png"})
        want.push_back(std::string(stem) + row + ext);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(box.files("out"), want);
}

TEST_F(Png, AFileThatCannotBeWrittenIsReportedAndRemoved) {
  Sandbox box;
  const Bytes tim = real("24bit_640x480_bunpattern.tim");  // 61 KB as PNG
  box.write("in.tim", tim);
  fs::create_directory(box.path("x1.png"));
  box.config("infile=\"in.tim\" outname=\"x\" writebmp=\"1\" writepng=\"1\"");
  const std::string lines = kHead + reading("in.tim", tim.size()) +
                            report(0, tim.size(), 640, 480, "24-bit direct");
  EXPECT_EQ(box.run().out, lines + "Could not write x1.png\n" + total(1));
  EXPECT_TRUE(box.exists("x1.bmp"));
  if (Sandbox::windows_build()) return;  // no file-size limit there
  // A write that stops part-way (SIGXFSZ ignored, 2048 bytes allowed).
  fs::remove(box.path("x1.png"));
  box.config("infile=\"in.tim\" outname=\"x\" writebmp=\"0\" writepng=\"1\"");
  EXPECT_EQ(box.run("trap '' XFSZ; ulimit -f 4;").out,
            lines + "Could not write x1.png\n" + total(1));
  EXPECT_EQ(box.files(), (Names{"in.tim", "vexlo.cfg", "x1.bmp"}));
}

// Against the Windows build, the Linux build also runs on the same TIMs:
// the PNGs must be the same bytes.
TEST_F(Png, TheWindowsBuildWritesTheSameBytes) {
  if (!Sandbox::windows_build())
    GTEST_SKIP() << "compares the Windows build with the Linux one";
  Sandbox box;
  Bytes all;
  for (const char* file : kReal) all = concat({all, real(file)});
  box.write("in.bin", all);
  for (const char* dir : {"win", "lin"}) {
    fs::create_directory(box.path(dir));
    box.config(std::string("infile=\"in.bin\" writebmp=\"0\" writepng=\"1\" "
                           "maxtims=\"99\" outname=\"") +
               dir + "/x\"");
    if (dir[0] == 'w') box.run();
  }
  const std::string linux_run = "cd '" + box.dir().string() +
                                "' && setsid -w timeout 60 " +
                                VEXLO_BINARY_PATH + " </dev/null >/dev/null";
  ASSERT_NE(std::system(linux_run.c_str()), -1);
  const Names names = box.files("lin");
  EXPECT_EQ(names.size(), 12u);
  EXPECT_EQ(box.files("win"), names);
  for (const std::string& name : names)
    EXPECT_EQ(box.read("win/" + name), box.read("lin/" + name)) << name;
}

}  // namespace
}  // namespace vexlo::test
