// End-to-end: configuration, single-file scans and .tim copies.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

TEST(Run, NoConfigurationFile) {
  Sandbox box;
  const Outcome o = box.run();
  EXPECT_EQ(o.out, kHead + "'vexlo.cfg' not found.\n" + kNoOut +
                       "No input file specified, exiting.\nModify your "
                       "'vexlo.cfg' file.\n" +
                       total(0));
  EXPECT_EQ(o.status, 255);  // no console: the key wait gives -1
}

TEST(Run, NoInputButOutname) {
  Sandbox box;
  box.config("outname=\"x\"");
  EXPECT_EQ(box.run().out, kHead +
                               "No input file specified, exiting.\nModify "
                               "your 'vexlo.cfg' file.\n" +
                               total(0));
}

TEST(Run, MissingInputFile) {
  Sandbox box;
  box.config("infile=\"nope.bin\" outname=\"x\"");
  EXPECT_EQ(box.run().out, kHead + "Open for nope.bin failed\n" + total(0));
}

TEST(Run, InputsThatAreNotFilesAreRefusedWithoutBlocking) {
  Sandbox box;
  std::filesystem::create_directory(box.path("adir"));
  ASSERT_EQ(::mkfifo(box.path("fifo").c_str(), 0644), 0);
  for (const char* name : {"adir", "fifo", "/dev/zero"}) {
    box.config(std::string("infile=\"") + name + "\"");
    EXPECT_EQ(box.run().out,
              kHead + kNoOut + "Open for " + name + " failed\n" + total(0));
  }
}

TEST(Run, EmptyFile) {
  Sandbox box;
  box.write("empty.bin", Bytes{});
  box.config("infile=\"empty.bin\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("empty.bin", 0) + total(0));
}

TEST(Run, ConfigValuesAreTakenVerbatimAndFirstWins) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  box.write("in put.bin", embed(tim, 100, 100));
  // The tail of "myinfile" matches; the second infile is ignored; writebmp
  // is absent (off); writetim="no" is on.
  box.config(
      "# comment myinfile=\"in put.bin\"\r\ninfile=\"other.bin\"\r\n"
      "outname=\"o_\" writetim=\"no\" maxtims=\" +2x\"\r\n");
  const Outcome o = box.run();
  EXPECT_EQ(o.out, kHead + reading("in put.bin", 520) +
                       report(100, 320, 32, 16, "4-bit CLUT") + total(1));
  EXPECT_EQ(box.read("o_1.tim"), tim);
  EXPECT_FALSE(box.exists("o_1.bmp"));
}

TEST(Run, ZeroByteHidesTheRestOfTheConfiguration) {
  Sandbox box;
  box.write("a.bin", embed(tim_4bit_32x16(), 10, 100));
  box.write("vexlo.cfg", std::string("infile=\"a.bin\"\x1a outname=\"x\"", 28));
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("a.bin", 430) +
                               report(10, 320, 32, 16, "4-bit CLUT") +
                               total(1));
}

TEST(Run, TimEndingExactlyAtTheEndAndOneBytePast) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  const Bytes exact = embed(tim, 7, 0);
  box.write("exact.bin", exact);
  box.write("past.bin", Bytes(exact.begin(), exact.end() - 1));
  box.config("infile=\"exact.bin\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("exact.bin", 327) +
                               report(7, 320, 32, 16, "4-bit CLUT") + total(1));
  box.config("infile=\"past.bin\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut + reading("past.bin", 326) + total(0));
}

TEST(Run, NoTimInTheLastMintimsizeBytes) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  box.write("one.bin", tim);  // exactly one TIM of exactly mintimsize bytes
  box.config("infile=\"one.bin\" mintimsize=\"320\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("one.bin", 320) + total(0));
  // A negative mintimsize examines every offset but reports nothing.
  box.config("infile=\"one.bin\" mintimsize=\"-1\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("one.bin", 320) + total(0));
}

TEST(Run, NearMissesAreRejectedAtEachTest) {
  Sandbox box;
  TimLayout good{.flags = 0x02, .w = 40, .h = 1, .pixels = Bytes(80, 0x11)};
  auto variant = [&](auto change) {
    TimLayout s = good;
    change(s);
    return make_tim(s);
  };
  const Bytes misses = concat({
      variant([](TimLayout& s) { s.flags = 0x102; }),  // flags byte 1
      variant([](TimLayout& s) { s.flags = 0x07; }),   // mode 7
      variant([](TimLayout& s) { s.flags = 0x0A; }),   // 15-bit with CLUT bit
      variant([](TimLayout& s) { s.w = 0; }),          // width 0
      variant([](TimLayout& s) { s.h = 0; }),          // height 0
      variant([](TimLayout& s) {
        s.flags = 0x03;
        s.w = 1;
      }),  // 24-bit width 0
  });
  const Bytes good_tim = make_tim(good);
  box.write("m.bin", concat({misses, good_tim, Bytes(80, 0)}));
  box.config("infile=\"m.bin\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut + reading("m.bin", misses.size() + 100 + 80) +
                report(misses.size(), 100, 40, 1, "15-bit direct") + total(1));
  box.config("infile=\"m.bin\" typefilter=\"3\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut + reading("m.bin", misses.size() + 180) + total(0));
}

TEST(Run, WrappedTotal) {
  Sandbox box;
  TimLayout s{.flags = 0x08, .w = 8, .h = 16};
  s.image_len = 0xFFFFFFF0u;  // 8 + 44 + this wraps to 36
  s.pixels.assign(40, 0x33);
  const Bytes tim = make_tim(s);
  box.write("w.bin", embed(tim, 3, 64));
  box.config("infile=\"w.bin\" mintimsize=\"1\" outname=\"x\" writetim=\"1\"");
  const Outcome o = box.run();
  EXPECT_EQ(o.out, kHead + reading("w.bin", tim.size() + 67) +
                       report(3, 36, 32, 16, "4-bit CLUT") + total(1));
  EXPECT_EQ(box.read("x1.tim"), Bytes(tim.begin(), tim.begin() + 36));
}

TEST(Run, MaxtimsZeroEndsAfterTheFirstAcceptedTim) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  box.write("two.bin", concat({tim, tim, Bytes(100, 0)}));
  box.config("infile=\"two.bin\" maxtims=\"0\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("two.bin", 740) +
                               report(0, 320, 32, 16, "4-bit CLUT") +
                               "Hit MAX_TIMS (0)\n" + total(1));
  // The limit test also runs after an accepted TIM outside the window.
  box.config("infile=\"two.bin\" maxtims=\"0\" maxtimsize=\"100\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("two.bin", 740) +
                               "Hit MAX_TIMS (0)\n" + total(0));
}

TEST(Run, LimitCountsOnlyCountedTims) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  box.write("three.bin", concat({tim, tim, tim, Bytes(100, 0)}));
  box.config("infile=\"three.bin\" maxtims=\"2\"");
  EXPECT_EQ(box.run().out, kHead + kNoOut + reading("three.bin", 1060) +
                               report(0, 320, 32, 16, "4-bit CLUT") +
                               report(320, 320, 32, 16, "4-bit CLUT") +
                               "Hit MAX_TIMS (2)\n" + total(2));
}

TEST(Run, MultiClutWarning) {
  Sandbox box;
  TimLayout s{.flags = 0x09,
              .clut_w = 256,
              .clut_h = 2,
              .w = 4,
              .h = 4,
              .pixels = Bytes(32, 1)};
  const Bytes tim = make_tim(s);
  box.write("mc.bin", embed(tim, 0, 64));
  box.config("infile=\"mc.bin\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut + reading("mc.bin", tim.size() + 64) +
                report(0, tim.size(), 8, 4, "8-bit CLUT") +
                "WARNING: CLUT is multi-layered, defaulting to first clut "
                "entry table (may not look correct over full image).\n" +
                total(1));
}

TEST(Run, UnwritableOutnameReportsEveryTimAndCountsNone) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  box.write("t.bin", concat({tim, tim, Bytes(100, 0)}));
  box.config(
      "infile=\"t.bin\" outname=\"missing/x\" writetim=\"1\" writebmp=\"1\" "
      "maxtims=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("t.bin", 740) +
                               report(0, 320, 32, 16, "4-bit CLUT") +
                               "Could not write missing/x1.tim\n" +
                               report(320, 320, 32, 16, "4-bit CLUT") +
                               "Could not write missing/x1.tim\n" + total(0));
}

TEST(Run, NeverOverwritesTheInput) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  const Bytes input = embed(tim, 0, 100);
  box.write("game1.tim", input);
  box.config("infile=\"game1.tim\" outname=\"game\" writetim=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("game1.tim", 420) +
                               report(0, 320, 32, 16, "4-bit CLUT") +
                               "Could not write game1.tim\n" + total(0));
  EXPECT_EQ(box.read("game1.tim"), input);
}

TEST(Run, OutputNamesOverTheLimitAreNotCreated) {
  Sandbox box;
  box.write("a.bin", embed(tim_4bit_32x16(), 0, 100));
  const std::string prefix(1020, 'p');  // + "1.tim" is 1025 characters
  box.config("infile=\"a.bin\" outname=\"" + prefix + "\" writetim=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("a.bin", 420) +
                               report(0, 320, 32, 16, "4-bit CLUT") +
                               "Could not write " + prefix + "1.tim\n" +
                               total(0));
}

struct RealTim {
  const char* file;
  std::size_t offset;  // in the containers
  std::size_t size;
  int w, h;
  const char* mode;
};

// The TIMs of the concatenated container, in file order.
const RealTim kConcat[] = {
    {"15bit_8x8_airport_mouse.tim", 1021, 148, 8, 8, "15-bit direct"},
    {"4bit_48x32_clktower.tim", 1852, 832, 48, 32, "4-bit CLUT"},
    {"4bit_256x96_n00bdemo_font.tim", 4148, 12352, 256, 96, "4-bit CLUT"},
    {"8bit_24x32_airport_gamepln.tim", 20584, 1312, 24, 32, "8-bit CLUT"},
    {"4bit_128x32_dbugfont_short_imglen.tim", 25846, 80, 128, 32, "4-bit CLUT"},
    {"15bit_144x144_stp_alpha.tim", 31572, 41492, 144, 144, "15-bit direct"},
    {"8bit_128x129_sky.tim", 74763, 17056, 128, 129, "8-bit CLUT"},
    {"4bit_16x16_ball16c.tim", 94320, 192, 16, 16, "4-bit CLUT"},
};

const RealTim kIso[] = {
    {"4bit_16x16_ball16c.tim", 57344, 192, 16, 16, "4-bit CLUT"},
    {"8bit_128x128_bungirl.tim", 59392, 16928, 128, 128, "8-bit CLUT"},
    {"4bit_256x96_n00bdemo_font.tim", 77824, 12352, 256, 96, "4-bit CLUT"},
    {"15bit_80x75_airport_psxdisk.tim", 159744, 12020, 80, 75, "15-bit direct"},
    {"24bit_640x480_bunpattern.tim", 239616, 921620, 640, 480, "24-bit direct"},
    {"4bit_128x85_ferris.tim", 1163296, 5504, 128, 85, "4-bit CLUT"},
    {"15bit_8x8_airport_mouse.tim", 1168800, 148, 8, 8, "15-bit direct"},
    {"8bit_24x32_airport_gamepln.tim", 1168948, 1312, 24, 32, "8-bit CLUT"},
};

void check_container(const std::string& name, const RealTim* tims,
                     std::size_t count) {
  Sandbox box;
  const Bytes container = read_file(data_path("containers/" + name));
  box.write(name, container);
  box.config("infile=\"" + name + "\" outname=\"out_\" writetim=\"1\"");
  std::string want = kHead + reading(name, container.size());
  for (std::size_t i = 0; i < count; ++i)
    want += report(tims[i].offset, tims[i].size, tims[i].w, tims[i].h,
                   tims[i].mode);
  want += total(static_cast<int>(count));
  EXPECT_EQ(box.run().out, want);
  for (std::size_t i = 0; i < count; ++i) {
    Bytes real = read_file(data_path(std::string("real/") + tims[i].file));
    real.resize(tims[i].size);  // the short-length TIM is cut at its total
    EXPECT_EQ(box.read("out_" + std::to_string(i + 1) + ".tim"), real)
        << tims[i].file;
  }
}

// A file large enough to be searched by threads in pieces of 1 MiB, read
// in place or in copies: TIMs across or on every piece's border, and after
// it, are all reported, in order, and copied whole.
TEST(Run, LargeFileSearchedInPieces) {
  Sandbox box;
  const Bytes tim = tim_4bit_32x16();
  const std::size_t mib = std::size_t{1} << 20;
  Bytes file(20 * mib + 999, 0xAA);
  std::vector<std::size_t> at;
  for (std::size_t border = mib; border < file.size(); border += mib)
    for (std::size_t off : {border - (border / mib % 2) * 7, border + 4000})
      if (off + tim.size() <= file.size() - tim.size()) at.push_back(off);
  at.push_back(file.size() - tim.size());
  for (std::size_t off : at)
    std::copy(tim.begin(), tim.end(), file.begin() + off);
  box.write("big.bin", file);
  box.config(
      "infile=\"big.bin\" outname=\"t\" writetim=\"1\" writebmp=\"0\" "
      "maxtims=\"1000\"");
  std::string want = kHead + reading("big.bin", file.size());
  for (std::size_t off : at) want += report(off, 320, 32, 16, "4-bit CLUT");
  want += total(static_cast<int>(at.size()));
  EXPECT_EQ(box.run().out, want);
  EXPECT_EQ(box.read(std::string("t") + std::to_string(at.size()) + ".tim"),
            tim);
}

TEST(Run, RealTimsInsideAConcatenation) {
  check_container("tims_concat_filler.bin", kConcat, std::size(kConcat));
}

TEST(Run, RealTimsInsideADiscImage) {
  check_container("tims_in_iso9660.iso", kIso, std::size(kIso));
}

}  // namespace
}  // namespace vexlo::test
