// End-to-end: raw CD images with cdimage on.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "tests/disc_builder.h"
#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

struct Placed {
  const char* file;
  std::size_t at;  // stream offset; 0 after the first means "end at the end"
  int w, h;
  const char* mode;
};

// "<prefix><n>" (built without operator+, which GCC 12 warns about here).
std::string numbered(const char* prefix, std::size_t n) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%zu", prefix, n);
  return name;
}

std::string disc_line(std::size_t sectors, std::size_t data) {
  return "Disc image: " + std::to_string(sectors) +
         " sectors of 2352 bytes, scanning " + std::to_string(data) +
         " bytes of data.\n";
}

TEST(DiscImage, TimsAcrossSectorsComeOutWhole) {
  // At data offset 0, at 2047, ending at a sector's last data byte, one of
  // 900 KB over 450 sectors, and one ending at the stream's last byte.
  const Placed placed[] = {
      {"4bit_16x16_ball16c.tim", 0, 16, 16, "4-bit CLUT"},
      {"15bit_80x75_airport_psxdisk.tim", 2047, 80, 75, "15-bit direct"},
      {"4bit_128x85_ferris.tim", 10 * 2048 - 5504, 128, 85, "4-bit CLUT"},
      {"24bit_640x480_bunpattern.tim", 20580, 640, 480, "24-bit direct"},
      {"8bit_128x129_sky.tim", 0, 128, 129, "8-bit CLUT"},
  };
  const std::size_t stream_size = 470 * 2048;
  Bytes stream(stream_size, 0xAA);
  Bytes plain;  // the same TIMs as plain bytes
  std::vector<Bytes> tims;
  std::vector<std::size_t> at;
  for (const Placed& p : placed) {
    tims.push_back(read_file(data_path(std::string("real/") + p.file)));
    const Bytes& t = tims.back();
    at.push_back(&p == placed || p.at != 0 ? p.at : stream_size - t.size());
    std::copy(t.begin(), t.end(), stream.begin() + at.back());
    plain = concat({plain, t, Bytes(64, 0xAA)});
  }
  const Disc disc = wrap_stream(stream, 1000);

  Sandbox box;
  box.write("disc.bin", disc.image);
  box.config(
      "infile=\"disc.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
      "cdimage=\"1\" writeindex=\"1\"");
  std::string want = kHead + reading("disc.bin", disc.image.size()) +
                     disc_line(disc.image.size() / 2352, stream_size);
  for (std::size_t i = 0; i < tims.size(); ++i)
    want += report(disc.raw[at[i]], tims[i].size(), placed[i].w, placed[i].h,
                   placed[i].mode);
  EXPECT_EQ(box.run().out, want + total(5));

  // The catalogue places each TIM in its sector: columns offset, sector
  // and sector_offset of every row.
  const Bytes index = box.read("xindex.csv");
  std::istringstream csv(std::string(index.begin(), index.end()));
  std::string line;
  std::getline(csv, line);
  for (std::size_t i = 0; i < tims.size(); ++i) {
    ASSERT_TRUE(std::getline(csv, line));
    const std::size_t raw = disc.raw[at[i]];
    std::ostringstream where;
    where << ",disc.bin," << raw << ',' << raw / 2352 << ',' << at[i] % 2048
          << ',';
    EXPECT_NE(line.find(where.str()), std::string::npos) << line;
  }

  Sandbox ref;  // bitmaps made from the plain TIMs
  ref.write("plain.bin", plain);
  ref.config("infile=\"plain.bin\" outname=\"x\" writebmp=\"1\"");
  ref.run();
  for (std::size_t i = 0; i < tims.size(); ++i) {
    const std::string n = numbered("x", i + 1);
    EXPECT_EQ(box.read(n + ".tim"), tims[i]) << placed[i].file;
    ASSERT_TRUE(ref.exists(n + ".bmp")) << placed[i].file;
    EXPECT_EQ(box.read(n + ".bmp"), ref.read(n + ".bmp")) << placed[i].file;
  }

  // Names by offset show the file offset too.
  box.config(
      "infile=\"disc.bin\" outname=\"y\" writebmp=\"1\" numbyoffset=\"1\" "
      "maxtims=\"2\" cdimage=\"1\"");
  box.run();
  char name[32];
  std::snprintf(name, sizeof name, "y_%010zu.bmp", disc.raw[2047]);
  EXPECT_TRUE(box.exists(name)) << name;

  // Without the key the image is plain bytes.
  box.config("infile=\"disc.bin\" maxtims=\"1\"");
  EXPECT_EQ(box.run().out.find("Disc image"), std::string::npos);
}

TEST(DiscImage, FilesThatAreNotImagesAreScannedAsPlainBytes) {
  const Bytes tim = read_file(data_path("real/4bit_16x16_ball16c.tim"));
  std::size_t at = 0;
  Disc one;  // a sync at the start only
  one.add(Sector::kForm1, tim, &at);
  at = 0;
  one.add(Sector::kAudio, tim, &at);
  const Bytes short_one(one.image.begin(), one.image.begin() + 2351);
  for (const Bytes& file : {one.image, short_one}) {
    Sandbox box;
    box.write("f.bin", file);
    box.config("infile=\"f.bin\"");
    const std::string plain = box.run().out;
    box.config("infile=\"f.bin\" cdimage=\"1\"");
    EXPECT_EQ(box.run().out, plain);
    EXPECT_NE(plain.find("TIM at byte 24,"), std::string::npos);
  }
}

TEST(DiscImage, TreeSearchesProbeEveryFile) {
  const Bytes tim = read_file(data_path("real/4bit_16x16_ball16c.tim"));
  Bytes stream(4 * 2048, 0xAA);
  std::copy(tim.begin(), tim.end(), stream.begin() + 2040);
  const Disc disc = wrap_stream(stream, 0);
  Sandbox box;
  box.write("d/sub/disc.bin", disc.image);
  box.config("inpath=\"d\" cdimage=\"1\"");
  EXPECT_EQ(box.run().out,
            kHead + kNoOut +
                reading(Sandbox::shown(box.path("d/sub/disc.bin")),
                        disc.image.size()) +
                disc_line(4, stream.size()) +
                report(disc.raw[2040], 192, 16, 16, "4-bit CLUT") + total(1));
}

// The same image in sectors of 2448 and 2336 bytes: the reports and files
// of the 2352 one, at offsets mapped into each.
TEST(DiscImage, SectorsOf2448And2336AsTheir2352Source) {
  Bytes stream(120 * 2048, 0xAA);
  std::size_t at = 0;
  for (const char* f :
       {"4bit_16x16_ball16c.tim", "15bit_80x75_airport_psxdisk.tim",
        "8bit_128x129_sky.tim"}) {
    const Bytes t = read_file(data_path(std::string("real/") + f));
    std::copy(t.begin(), t.end(), stream.begin() + at);
    at += t.size() + 2048 - 30;
  }
  Disc disc;
  for (std::size_t from = 0, n = 0; from < stream.size(); ++n)
    disc.add(n % 5 == 4 ? Sector::kForm2 : Sector::kForm1, stream, &from);
  set_form1_edc(disc.image);
  const std::string config =
      "infile=\"disc.bin\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
      "cdimage=\"1\" maxtims=\"100\"";
  Sandbox source;
  source.write("disc.bin", disc.image);
  source.config(config);
  const std::string want = source.run().out;
  ASSERT_NE(want.find(total(3)), std::string::npos) << want;
  for (const std::size_t size : {std::size_t{2448}, std::size_t{2336}}) {
    const Bytes image = resize_sectors(disc.image, size, 0x10);
    // The 2352 output with its offsets, sector size and file size mapped.
    std::istringstream lines(want);
    std::string mapped, line;
    while (std::getline(lines, line)) {
      if (line.rfind("TIM at byte ", 0) == 0) {
        const std::size_t o = std::stoul(line.substr(12));
        line =
            "TIM at byte " +
            std::to_string(o / 2352 * size + o % 2352 - (size == 2336) * 16) +
            line.substr(line.find(','));
      } else if (line.rfind("Reading ", 0) == 0) {
        line = reading("disc.bin", image.size());
        line.pop_back();
      } else if (line.rfind("Disc image: ", 0) == 0) {
        line.replace(line.find("2352"), 4, std::to_string(size));
      }
      mapped += line + "\n";
    }
    Sandbox box;
    box.write("disc.bin", image);
    box.config(config);
    EXPECT_EQ(box.run().out, mapped) << size;
    for (const std::string& name : source.files()) {
      if (name == "disc.bin" || name == "vexlo.cfg") continue;
      EXPECT_EQ(box.read(name), source.read(name)) << size << " " << name;
    }
  }
}

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1")
                         .c_str()) == 0;
}

// A Video CD written by another program (real Mode 2 sectors with EDC/ECC,
// Form 2 video, an ISO 9660 file system) holding real TIMs in a data file.
TEST(DiscImage, AgreesWithAnImageWrittenByVcdimager) {
  if (!have("vcdxbuild") || !have("ffmpeg"))
    GTEST_SKIP() << "vcdxbuild (vcdimager) or ffmpeg is not installed";
  Sandbox box;
  const char* files[] = {"4bit_16x16_ball16c.tim", "8bit_128x129_sky.tim",
                         "15bit_144x144_stp_alpha.tim"};
  Bytes data;
  for (const char* f : files)
    data = concat({data, read_file(data_path(std::string("real/") + f))});
  box.write("data.bin", data);
  box.write("v.xml", std::string(R"(<?xml version="1.0"?>
<!DOCTYPE videocd PUBLIC "-//GNU//DTD VideoCD//EN" "http://www.gnu.org/software/vcdimager/videocd.dtd">
<videocd xmlns="http://www.gnu.org/software/vcdimager/1.0/" class="vcd" version="2.0">
<info><album-id/><volume-count>1</volume-count><volume-number>1</volume-number><restriction>0</restriction></info>
<pvd><volume-id>T</volume-id><system-id>CD-RTOS CD-BRIDGE</system-id></pvd>
<filesystem><folder><name>DATA</name><file src="data.bin"><name>DATA.BIN</name></file></folder></filesystem>
<sequence-items><sequence-item src="v.mpg" id="sequence-00"/></sequence-items>
</videocd>
)"));
  const std::string cmd =
      "cd '" + box.dir().string() +
      "' && ffmpeg -loglevel error -y -f lavfi -i testsrc -t 1 -target "
      "ntsc-vcd v.mpg </dev/null && vcdxbuild --cue-file=v.cue "
      "--bin-file=v.bin v.xml >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  box.config(
      "infile=\"v.bin\" outname=\"x\" writetim=\"1\" cdimage=\"1\" "
      "maxtims=\"100\"");
  const std::string out = box.run().out;
  EXPECT_NE(out.find("Disc image: "), std::string::npos) << out;
  EXPECT_NE(out.find(total(3)), std::string::npos) << out;
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(box.read(numbered("x", i + 1) + ".tim"),
              read_file(data_path(std::string("real/") + files[i])))
        << files[i];
}

}  // namespace
}  // namespace vexlo::test
