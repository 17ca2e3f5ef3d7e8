// End-to-end: PNG output and one image per CLUT row, every PNG checked by
// pngcheck and decoded by ImageMagick against the colour and alpha rules.
#include <gtest/gtest.h>

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

class Png : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = png_tools_missing(); !why.empty())
      GTEST_SKIP() << why;
  }
};

// Checks the PNG `name` in `box` against the TIM file `tim` and CLUT row
// `row`: structure, header, palette and every pixel.
void expect_png(const Sandbox& box, const std::string& name, const Bytes& tim,
                int row) {
  SCOPED_TRACE(name);
  ASSERT_TRUE(box.exists(name));
  EXPECT_EQ(pngcheck(box.path(name)), "");
  const PngInfo info = read_png_info(box.read(name));
  const int mode = tim[4] & 7;
  EXPECT_EQ(info.depth, mode == 0 ? 4 : 8);
  EXPECT_EQ(info.colour_type, mode <= 1 ? 3 : mode == 2 ? 6 : 2);
  if (mode <= 1) {
    Bytes plte, trns;
    expected_palette(tim, row, &plte, &trns);
    EXPECT_EQ(info.plte, plte);
    EXPECT_EQ(info.trns, trns);
  }
  EXPECT_EQ(magick_pixels(box.path(name)), expected_pixels(tim, row));
}

void expect_bmp(const Sandbox& box, const std::string& name, const Bytes& tim,
                int row) {
  SCOPED_TRACE(name);
  EXPECT_EQ(magick_pixels(box.path(name), true),
            expected_pixels(tim, row, true));
}

TEST_F(Png, RealTimsOfEveryModeFollowTheRules) {
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
  for (const char* file : files) {
    SCOPED_TRACE(file);
    Sandbox box;
    const Bytes tim = read_file(data_path(std::string("real/") + file));
    box.write("in.tim", tim);
    box.config("infile=\"in.tim\" outname=\"x\" writebmp=\"0\" writepng=\"1\"");
    box.run();
    EXPECT_EQ(box.files(),
              (std::vector<std::string>{"in.tim", "vexlo.cfg", "x1.png"}));
    expect_png(box, "x1.png", tim, 0);
  }
  // The STP-heavy picture really holds both of its special values: 0x0000
  // (transparent) and 0x8000 (opaque black).
  const Bytes stp = read_file(data_path("real/15bit_144x144_stp_alpha.tim"));
  const Bytes rgba = expected_pixels(stp, 0);
  std::size_t clear = 0, black = 0;
  for (std::size_t i = 0; i < rgba.size(); i += 4) {
    clear += rgba[i + 3] == 0;
    black += rgba[i] == 0 && rgba[i + 1] == 0 && rgba[i + 2] == 0 &&
             rgba[i + 3] == 255;
  }
  EXPECT_GT(clear, 1000u);
  EXPECT_GT(black, 1000u);
}

// A real 4-bit TIM with its CLUT as three rows: the original, then the
// entries reversed with the special values, then every STP bit flipped.
Bytes three_row_tim() {
  const Bytes ball = read_file(data_path("real/4bit_16x16_ball16c.tim"));
  TimLayout s{.clut_h = 3, .w = 4, .h = 16};
  std::vector<uint16_t> row0;
  for (int k = 0; k < 16; ++k)
    row0.push_back(ball[20 + 2 * k] | ball[21 + 2 * k] << 8);
  s.clut = row0;
  s.clut.insert(s.clut.end(), row0.rbegin(), row0.rend());
  s.clut[16] = 0x0000;
  s.clut[17] = 0x8000;
  s.clut[18] = 0x801F;
  for (uint16_t v : row0) s.clut.push_back(v ^ 0x8000);
  s.pixels.assign(ball.begin() + 64, ball.end());
  return make_tim(s);
}

// A real 8-bit TIM with a second CLUT row whose colours are rotated.
Bytes two_row_tim() {
  const Bytes plane =
      read_file(data_path("real/8bit_24x32_airport_gamepln.tim"));
  TimLayout s{.flags = 0x09, .clut_w = 256, .clut_h = 2, .w = 12, .h = 32};
  for (int k = 0; k < 512; ++k) {
    const uint16_t v = plane[20 + 2 * (k % 256)] | plane[21 + 2 * (k % 256)]
                                                       << 8;
    s.clut.push_back(k < 256 ? v
                             : static_cast<uint16_t>((v & 0x8000) |
                                                     (v & 0x7FFF) >> 5 |
                                                     (v & 31) << 10));
  }
  s.pixels.assign(plane.begin() + 544, plane.end());
  return make_tim(s);
}

const std::string kMulti =
    "WARNING: CLUT is multi-layered, defaulting to first clut entry table "
    "(may not look correct over full image).\n";

TEST_F(Png, AllClutsWritesEveryRowInBothKinds) {
  Sandbox box;
  const Bytes t4 = three_row_tim(), t8 = two_row_tim();
  box.write("in.bin", concat({t4, t8, Bytes(64, 0)}));
  box.config(
      "infile=\"in.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
      "writepng=\"1\" allcluts=\"1\"");
  EXPECT_EQ(box.run().out,
            kHead + reading("in.bin", t4.size() + t8.size() + 64) +
                report(0, t4.size(), 16, 16, "4-bit CLUT") + kMulti +
                report(t4.size(), t8.size(), 24, 32, "8-bit CLUT") + kMulti +
                total(2));
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{
                "in.bin", "vexlo.cfg", "x1.bmp", "x1.png", "x1.tim",
                "x1_pal1.bmp", "x1_pal1.png", "x1_pal2.bmp", "x1_pal2.png",
                "x2.bmp", "x2.png", "x2.tim", "x2_pal1.bmp", "x2_pal1.png"}));
  for (int row = 0; row < 3; ++row) {
    const std::string stem = row ? "x1_pal" + std::to_string(row) : "x1";
    expect_png(box, stem + ".png", t4, row);
    expect_bmp(box, stem + ".bmp", t4, row);
  }
  for (int row = 0; row < 2; ++row) {
    const std::string stem = row ? "x2_pal1" : "x2";
    expect_png(box, stem + ".png", t8, row);
    expect_bmp(box, stem + ".bmp", t8, row);
  }
}

TEST_F(Png, NibbleOrderOddWidthsAndSpecialColours) {
  const Bytes tims[] = {
      // 4-bit: byte 0x21 is index 1 on the left, 2 on the right.
      make_tim({.clut = {0x0000, 0x001F, 0x03E0, 0x7C00, 0x8000, 0x801F},
                .w = 1,
                .h = 3,
                .pixels = {0x21, 0x43, 0x05, 0x50, 0x12, 0x34}}),
      // 15-bit, width 3: rows start at odd pixels.
      make_tim(
          {.flags = 0x02,
           .w = 3,
           .h = 3,
           .pixels = {0x00, 0x00, 0x00, 0x80, 0x1F, 0x80, 0xFF, 0x7F, 0xE0,
                      0x83, 0x21, 0x04, 0x00, 0xFC, 0x10, 0x42, 0x01, 0x00}}),
      // 24-bit, w 5: width 3, 9 bytes a row, read as one run.
      make_tim({.flags = 0x03,
                .w = 5,
                .h = 2,
                .pixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                           16, 17, 18}}),
      // 8-bit, width 2, odd height.
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
    box.write("in.bin", concat({tim, Bytes(64, 0)}));
    box.config(
        "infile=\"in.bin\" outname=\"x\" writepng=\"1\" mintimsize=\"1\"");
    box.run();
    expect_png(box, "x1.png", tim, 0);
  }
}

TEST_F(Png, ClutWithoutRowsGetsAGreyRampAndTheBitmapStaysAsItWas) {
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
  EXPECT_EQ(box.files(), (std::vector<std::string>{"in.bin", "vexlo.cfg",
                                                   "x1.bmp", "x1.png"}));
  EXPECT_EQ(pngcheck(box.path("x1.png")), "");
  const PngInfo info = read_png_info(box.read("x1.png"));
  Bytes ramp, opaque(16, 255), pixels;
  for (int k = 0; k < 16; ++k) ramp.insert(ramp.end(), 3, uint8_t(17 * k));
  EXPECT_EQ(info.plte, ramp);
  EXPECT_EQ(info.trns, opaque);
  for (int k = 0; k < 16; ++k)
    pixels.insert(pixels.end(),
                  {uint8_t(17 * k), uint8_t(17 * k), uint8_t(17 * k), 255});
  EXPECT_EQ(magick_pixels(box.path("x1.png")), pixels);
  // The bitmap reads its entries from the bytes after the block, as before.
  Sandbox old;
  old.write("in.bin", embed(tim, 0, 64));
  old.config("infile=\"in.bin\" outname=\"x\" writebmp=\"1\" mintimsize=\"1\"");
  old.run();
  EXPECT_EQ(box.read("x1.bmp"), old.read("x1.bmp"));
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
  struct Case {
    const Bytes* tim;
    const char* keys;
    std::string line;
  } cases[] = {
      {&mixed, "writebmp=\"1\" writepng=\"1\" allcluts=\"1\"",
       "Can't write bitmap - tim in unsupported format.\n"},
      {&mixed, "writebmp=\"0\" writepng=\"1\"",
       "Can't write PNG - tim in unsupported format.\n"},
      {&past_end, "writebmp=\"1\" writepng=\"1\"",
       "Can't write bitmap - pixel data runs past the end of the file.\n"},
      {&past_end, "writebmp=\"0\" writepng=\"1\"",
       "Can't write PNG - pixel data runs past the end of the file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    Sandbox box;
    box.write("in.bin", embed(*c.tim, 0, 64));
    box.config(std::string("infile=\"in.bin\" outname=\"x\" ") + c.keys);
    const std::string out = box.run().out;
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_EQ(out.find(c.line), out.rfind(c.line)) << out;
    EXPECT_EQ(box.files(), (std::vector<std::string>{"in.bin", "vexlo.cfg"}));
  }
}

TEST_F(Png, NamesByOffsetKeepEveryTimOfATreeSearch) {
  Sandbox box;
  const Bytes tim = three_row_tim();
  box.write("in/a.bin", embed(tim, 10, 64));
  box.write("in/b.bin", embed(tim, 10, 64));
  box.config(
      "inpath=\"in\" outname=\"out/x\" writebmp=\"1\" writepng=\"1\" "
      "allcluts=\"1\" numbyoffset=\"1\"");
  fs::create_directory(box.path("out"));
  box.run();
  std::vector<std::string> want;
  for (const char* stem : {"x_0000000010", "x_0000000010_2"})
    for (const char* row : {"", "_pal1", "_pal2"})
      for (const char* ext : {".bmp", ".png"})
        want.push_back(std::string(stem) + row + ext);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(box.files("out"), want);
  for (const std::string& name : want)
    if (name.ends_with(".png")) {
      EXPECT_EQ(pngcheck(box.path("out/" + name)), "");
    }
}

TEST_F(Png, AFileThatCannotBeWrittenIsReportedAndRemoved) {
  Sandbox box;
  const Bytes tim = read_file(data_path("real/24bit_640x480_bunpattern.tim"));
  box.write("in.tim", tim);
  fs::create_directory(box.path("x1.png"));
  box.config(
      "infile=\"in.tim\" outname=\"x\" writebmp=\"1\" writepng=\"1\" "
      "maxtimsize=\"-1\"");
  const std::string lines = kHead + reading("in.tim", tim.size()) +
                            report(0, tim.size(), 640, 480, "24-bit direct");
  EXPECT_EQ(box.run().out, lines + "Could not write x1.png\n" + total(1));
  EXPECT_TRUE(box.exists("x1.bmp"));
  if (Sandbox::windows_build()) return;  // no file-size limit there
  // A write that stops part-way: the file-size limit lets 2048 bytes through.
  fs::remove(box.path("x1.png"));
  box.config(
      "infile=\"in.tim\" outname=\"x\" writepng=\"1\" maxtimsize=\"-1\" "
      "writebmp=\"0\"");
  EXPECT_EQ(box.run("trap '' XFSZ; ulimit -f 4;").out,
            lines + "Could not write x1.png\n" + total(1));
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{"in.tim", "vexlo.cfg", "x1.bmp"}));
}

// Run against the Windows build, the suite also runs the Linux build on the
// same TIMs: the PNGs must be the same bytes.
TEST_F(Png, TheWindowsBuildWritesTheSameBytes) {
  if (!Sandbox::windows_build())
    GTEST_SKIP() << "compares the Windows build with the Linux one";
  Sandbox box;
  Bytes all;
  for (const auto& e : fs::directory_iterator(data_path("real")))
    if (e.path().extension() == ".tim") {
      const Bytes tim = read_file(e.path());
      all.insert(all.end(), tim.begin(), tim.end());
    }
  box.write("in.bin", all);
  box.config(
      "infile=\"in.bin\" outname=\"win/x\" writebmp=\"0\" writepng=\"1\" "
      "maxtims=\"100\"");
  fs::create_directory(box.path("win"));
  box.run();
  box.config(
      "infile=\"in.bin\" outname=\"lin/x\" writebmp=\"0\" writepng=\"1\" "
      "maxtims=\"100\"");
  fs::create_directory(box.path("lin"));
  const std::string native = std::string("cd '") + box.dir().string() +
                             "' && setsid -w timeout 60 " + VEXLO_BINARY_PATH +
                             " </dev/null >/dev/null 2>&1";
  ASSERT_NE(std::system(native.c_str()), -1);
  const std::vector<std::string> names = box.files("lin");
  EXPECT_GE(names.size(), 12u);
  EXPECT_EQ(box.files("win"), names);
  for (const std::string& name : names)
    EXPECT_EQ(box.read("win/" + name), box.read("lin/" + name)) << name;
}

}  // namespace
}  // namespace vexlo::test
