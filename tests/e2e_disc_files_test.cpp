// End-to-end: the disc file of every TIM in a disc image (ISO images made by
// genisoimage and xorriso, a raw Mode 2 image made by vcdimager, the
// container ISO), and repeats with and without skipduplicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>

#include "tests/disc_builder.h"
#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

Bytes real(const char* name) {
  return read_file(data_path(std::string("real/") + name));
}

// The data rows of xindex.csv, split at commas (no field here is quoted).
std::vector<std::vector<std::string>> rows(const Sandbox& box) {
  const Bytes b = box.read("xindex.csv");
  std::istringstream in(std::string(b.begin(), b.end()));
  std::vector<std::vector<std::string>> r;
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    line.back() = ',';  // the CR
    std::vector<std::string>& fields = r.emplace_back();
    for (std::size_t at = 0, c; (c = line.find(',', at)) != line.npos;
         at = c + 1)
      fields.push_back(line.substr(at, c - at));
  }
  return r;
}

const char* kVcdXml = R"(<?xml version="1.0"?>
<!DOCTYPE videocd PUBLIC "-//GNU//DTD VideoCD//EN" "http://www.gnu.org/software/vcdimager/videocd.dtd">
<videocd xmlns="http://www.gnu.org/software/vcdimager/1.0/" class="vcd" version="2.0">
<info><album-id/><volume-count>1</volume-count><volume-number>1</volume-number><restriction>0</restriction></info>
<pvd><volume-id>T</volume-id><system-id>CD-RTOS CD-BRIDGE</system-id></pvd>
<filesystem><folder><name>DATA</name>
<folder><name>SUB</name><file src="t/DATA/SUB/SKY.TIM"><name>SKY.TIM</name></file></folder>
<file src="t/DATA/TITLE.TIM"><name>TITLE.TIM</name></file></folder>
<folder><name>GFX</name><file src="t/GFX/PACK.BIN"><name>PACK.BIN</name></file></folder></filesystem>
<sequence-items><sequence-item src="v.mpg" id="sequence-00"/></sequence-items>
</videocd>
)";

using Places = std::multiset<std::string>;  // "disc_file@disc_file_offset"

TEST(DiscFiles, TimsAreNamedByTheFileThatHoldsThem) {
  // TIM files in nested folders, a pack of two TIMs behind filler, and for
  // the ISO tools a TIM in the system area (-G), which no file holds.
  const Places tree = {"DATA/TITLE.TIM@0", "DATA/SUB/SKY.TIM@0",
                       "GFX/PACK.BIN@100", "GFX/PACK.BIN@5654"};
  Places with_area = tree;
  with_area.insert("@");
  struct Case {
    const char* what;
    const char* tools;  // skipped without them
    std::string make;   // makes d.img in the sandbox
    Places want;
    bool shifted = false;  // put in raw sectors after four Form 2 ones
  } cases[] = {
      {"genisoimage", "genisoimage", "genisoimage -quiet -G area -o d.img t",
       with_area},
      {"xorriso", "xorriso", "xorriso -as mkisofs -quiet -G area -o d.img t",
       with_area},
      {"genisoimage in raw sectors from the fifth", "genisoimage",
       "genisoimage -quiet -G area -o d.img t", with_area, true},
      {"vcdimager raw Mode 2", "vcdxbuild ffmpeg",
       "ffmpeg -loglevel error -y -f lavfi -i testsrc -t 1 -target ntsc-vcd "
       "v.mpg </dev/null && vcdxbuild --cue-file=v.cue --bin-file=d.img v.xml",
       tree},
      {"the container ISO",
       "cp",
       "cp '" + data_path("containers/tims_in_iso9660.iso").string() +
           "' d.img",
       {"DATA/BALL16C.TIM@0", "DATA/BUNGIRL.TIM@0", "DATA/FONT.TIM@0",
        "DATA/PSXDISK.TIM@0", "GFX/BUNPAT.TIM@0", "GFX/PACK.BIN@32",
        "GFX/PACK.BIN@5536", "GFX/PACK.BIN@5684"}},
  };
  for (const Case& c : cases) {
    const std::string check = std::string("for t in ") + c.tools +
                              "; do command -v $t || exit 1; done >/dev/null";
    if (std::system(check.c_str()) != 0) {
      std::printf("[  SKIPPED ] %s: needs %s\n", c.what, c.tools);
      continue;
    }
    Sandbox box;
    box.write("t/DATA/TITLE.TIM", real("4bit_16x16_ball16c.tim"));
    box.write("t/DATA/SUB/SKY.TIM", real("8bit_128x129_sky.tim"));
    box.write("t/GFX/PACK.BIN",
              concat({Bytes(100, 0xAA), real("4bit_128x85_ferris.tim"),
                      Bytes(50, 0xAA), real("15bit_8x8_airport_mouse.tim"),
                      Bytes(64, 0xAA)}));
    box.write("area", concat({real("4bit_48x32_clktower.tim"), Bytes(99, 0)}));
    box.write("v.xml", std::string(kVcdXml));
    const std::string cmd =
        "cd '" + box.dir().string() + "' && (" + c.make + ") >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    if (c.shifted) {
      const Bytes iso = box.read("d.img");
      Disc disc;
      std::size_t at = 0;
      for (int i = 0; i < 4; ++i) disc.add(Sector::kForm2, iso, &at);
      while (at < iso.size()) disc.add(Sector::kForm1, iso, &at);
      box.write("d.img", disc.image);
    }
    const std::string cfg =
        "infile=\"d.img\" outname=\"x\" writeindex=\"1\" writebmp=\"0\" "
        "maxtims=\"100\"";
    box.config(cfg + " cdimage=\"1\"");
    box.run();
    Places got;
    for (const auto& r : rows(box)) got.insert(r.at(20) + "@" + r.at(21));
    EXPECT_EQ(got, c.want) << c.what;
    // The pack's two tiles under one heading, captions with the offsets.
    const Bytes page = box.read("xindex.html");
    const std::string html(page.begin(), page.end());
    const std::size_t head = html.find("<h3>GFX/PACK.BIN</h3>");
    EXPECT_EQ(html.find("<h3>GFX/PACK.BIN</h3>", head + 1), html.npos);
    EXPECT_LT(html.find("<br>GFX/PACK.BIN at ", head),
              html.find("<h3>", head + 1))
        << c.what;
    box.config(cfg);  // without cdimage nothing is named
    box.run();
    for (const auto& r : rows(box))
      EXPECT_EQ(r.at(20) + r.at(21), "") << c.what;
  }
}

// Two files of a tree search with the same TIMs: X, Y, X again, Z.
TEST(DiscFiles, RepeatsAreMarkedAndSkipped) {
  const Bytes x = tim_4bit_32x16(), y = real("4bit_16x16_ball16c.tim");
  const Bytes file = concat(
      {Bytes(5, 0xAA), x, Bytes(9, 0xAA), y, Bytes(9, 0xAA), x, Bytes(9, 0xAA),
       real("15bit_8x8_airport_mouse.tim"), Bytes(100, 0xAA)});
  struct Case {
    const char* keys;
    std::vector<std::string> rows;  // number,counted,duplicate_of
    std::size_t written;            // .tim files
  } cases[] = {
      {"maxtims=\"100\"",
       {"1,yes,", "2,yes,", "3,yes,1", "4,yes,", "5,yes,1", "6,yes,2",
        "7,yes,1", "8,yes,4"},
       8},
      {"maxtims=\"100\" skipduplicates=\"1\"",
       {"1,yes,", "2,yes,", "3,no,1", "3,yes,", "4,no,1", "4,no,2", "4,no,1",
        "4,no,3"},
       3},
      // The limit is tested after a skipped repeat as after any TIM.
      {"maxtims=\"3\" skipduplicates=\"1\"",
       {"1,yes,", "2,yes,", "3,no,1", "3,yes,", "4,no,1"},
       3},
  };
  for (const Case& c : cases) {
    Sandbox box;
    box.write("t/a.bin", file);
    box.write("t/b.bin", file);
    box.config(std::string("inpath=\"t\" outname=\"x\" writetim=\"1\" "
                           "writebmp=\"0\" writeindex=\"1\" ") +
               c.keys);
    const std::string out = box.run().out;
    std::vector<std::string> got;
    std::string said;  // the line after each skipped repeat's report
    for (const auto& r : rows(box)) {
      got.push_back(r.at(0) + "," + r.at(1) + "," + r.at(22));
      if (r[1] == "no") said += "\nSame as TIM " + r[22] + ", not written.\n";
    }
    EXPECT_EQ(got, c.rows) << c.keys;
    std::string printed;
    for (std::size_t at = out.find("\nSame as"); at != out.npos;
         at = out.find("\nSame as", at + 1)) {
      EXPECT_GT(out.rfind("pixelmode: ", at), out.rfind('\n', at - 1));
      printed += out.substr(at, out.find('\n', at + 1) + 1 - at);
    }
    EXPECT_EQ(printed, said) << c.keys;
    const std::string last = std::to_string(c.written),
                      next = std::to_string(c.written + 1);
    EXPECT_TRUE(box.exists("x" + last + ".tim"));
    EXPECT_FALSE(box.exists("x" + next + ".tim"));
    EXPECT_NE(out.find(total(static_cast<int>(c.written))), out.npos) << out;
  }
}

}  // namespace
}  // namespace vexlo::test
