// End-to-end: the disc file of every TIM in a disc image (ISO 9660 images
// made by genisoimage and xorriso, a raw Mode 2 image made by vcdimager, the
// container ISO), and repeats with and without skipduplicates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

bool have(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

Bytes real(const char* name) {
  return read_file(data_path(std::string("real/") + name));
}

// The CSV's records (quoted fields with doubled quotes, CRLF ends).
std::vector<std::vector<std::string>> csv_rows(const Bytes& b) {
  std::vector<std::vector<std::string>> rows(1);
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const char c = static_cast<char>(b[i]);
    if (quoted) {
      if (c != '"')
        field += c;
      else if (i + 1 < b.size() && b[i + 1] == '"')
        field += b[++i];
      else
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',' || c == '\r') {
      rows.back().push_back(std::move(field));
      field.clear();
      if (c == '\r') rows.emplace_back(), ++i;  // the LF
    } else
      field += c;
  }
  rows.pop_back();
  return rows;
}

using Places = std::multiset<std::pair<std::string, std::string>>;

// (disc_file, disc_file_offset) of every row of `box`'s xindex.csv.
Places places(const Sandbox& box) {
  Places p;
  const auto rows = csv_rows(box.read("xindex.csv"));
  EXPECT_EQ(rows.at(0).at(20), "disc_file");
  for (std::size_t i = 1; i < rows.size(); ++i)
    p.insert({rows[i].at(20), rows[i].at(21)});
  return p;
}

// Folders of TIM files and a pack of two TIMs behind filler, as the disc
// tools take them.
struct TreeFile {
  std::string path;
  Bytes bytes;
};
std::vector<TreeFile> tree() {
  return {{"DATA/TITLE.TIM", real("4bit_16x16_ball16c.tim")},
          {"DATA/SUB/SKY.TIM", real("8bit_128x129_sky.tim")},
          {"GFX/PACK.BIN",
           concat({Bytes(100, 0xAA), real("4bit_128x85_ferris.tim"),
                   Bytes(50, 0xAA), real("15bit_8x8_airport_mouse.tim"),
                   Bytes(64, 0xAA)})}};
}
const Places kTreePlaces = {{"DATA/TITLE.TIM", "0"},
                            {"DATA/SUB/SKY.TIM", "0"},
                            {"GFX/PACK.BIN", "100"},
                            {"GFX/PACK.BIN", "5654"}};

// The XML vcdxbuild takes for the tree, as nested folders.
std::string vcd_xml() {
  return R"(<?xml version="1.0"?>
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
}

TEST(DiscFiles, TimsAreNamedByTheFileThatHoldsThem) {
  const Bytes area = concat({real("4bit_48x32_clktower.tim"), Bytes(31936, 0)});
  const Places iso_places = [] {
    Places p = kTreePlaces;
    p.insert({"GFX/A,\"B\".TIM", "0"});
    p.insert({"", ""});  // the TIM in the system area
    return p;
  }();
  struct Case {
    const char* what;
    std::vector<std::string> tools;
    std::string make;  // shell command making d.img in the sandbox
    Places want;
  } cases[] = {
      {"genisoimage",
       {"genisoimage"},
       "genisoimage -quiet -relaxed-filenames -G area -o d.img t",
       iso_places},
      {"xorriso",
       {"xorriso"},
       "xorriso -as mkisofs -quiet -relaxed-filenames -G area -o d.img t",
       iso_places},
      {"vcdimager raw Mode 2",
       {"vcdxbuild", "ffmpeg"},
       "ffmpeg -loglevel error -y -f lavfi -i testsrc -t 1 -target ntsc-vcd "
       "v.mpg </dev/null && vcdxbuild --cue-file=v.cue --bin-file=d.img v.xml",
       kTreePlaces},
      {"the container ISO",
       {},
       "cp '" + data_path("containers/tims_in_iso9660.iso").string() +
           "' d.img",
       {{"DATA/BALL16C.TIM", "0"},
        {"DATA/BUNGIRL.TIM", "0"},
        {"DATA/FONT.TIM", "0"},
        {"DATA/PSXDISK.TIM", "0"},
        {"GFX/BUNPAT.TIM", "0"},
        {"GFX/PACK.BIN", "32"},
        {"GFX/PACK.BIN", "5536"},
        {"GFX/PACK.BIN", "5684"}}},
  };
  for (const Case& c : cases) {
    const auto missing = std::find_if_not(c.tools.begin(), c.tools.end(), have);
    if (missing != c.tools.end()) {
      std::printf("[  SKIPPED ] %s: %s is not installed\n", c.what,
                  missing->c_str());
      continue;
    }
    Sandbox box;
    for (const TreeFile& f : tree()) box.write("t/" + f.path, f.bytes);
    box.write("t/GFX/A,\"B\".TIM", real("15bit_80x75_airport_psxdisk.tim"));
    box.write("area", area);
    box.write("v.xml", vcd_xml());
    const std::string cmd =
        "cd '" + box.dir().string() + "' && (" + c.make + ") >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << c.what;
    box.config(
        "infile=\"d.img\" outname=\"x\" writeindex=\"1\" writebmp=\"0\" "
        "maxtims=\"100\" cdimage=\"1\"");
    const std::string out = box.run().out;
    EXPECT_EQ(places(box), c.want) << c.what << "\n" << out;
    // Tiles under a heading per disc file, captions with the offset.
    const Bytes page = box.read("xindex.html");
    const std::string html(page.begin(), page.end());
    for (const auto& [file, offset] : c.want) {
      std::string shown = file.empty() ? "Outside the disc's files" : file;
      for (std::size_t q; (q = shown.find('"')) != std::string::npos;)
        shown.replace(q, 1, "&quot;");
      EXPECT_NE(html.find("<h3>" + shown + "</h3>"), std::string::npos)
          << c.what << " " << shown;
      if (!file.empty()) {
        EXPECT_NE(html.find("<br>" + shown + " at " + offset + "</p>"),
                  std::string::npos)
            << c.what << " " << shown;
      }
    }
    // Without cdimage nothing is named.
    box.config(
        "infile=\"d.img\" outname=\"x\" writeindex=\"1\" "
        "writebmp=\"0\" maxtims=\"100\"");
    box.run();
    for (const auto& [file, offset] : places(box))
      EXPECT_EQ(file + offset, "") << c.what;
  }
}

// Two files of a tree search with the same TIMs: X, Y, X again, Z.
TEST(DiscFiles, RepeatsAreMarkedAndSkipped) {
  const Bytes x = tim_4bit_32x16();
  const Bytes y = real("4bit_16x16_ball16c.tim");
  const Bytes z = real("15bit_8x8_airport_mouse.tim");
  const Bytes file =
      concat({Bytes(5, 0xAA), x, Bytes(9, 0xAA), y, Bytes(9, 0xAA), x,
              Bytes(9, 0xAA), z, Bytes(100, 0xAA)});
  struct Case {
    const char* keys;
    std::vector<std::string> rows;  // number,counted,duplicate_of
    std::vector<std::string> tims;  // .tim files written
    int total;
  } cases[] = {
      {"maxtims=\"100\"",
       {"1,yes,", "2,yes,", "3,yes,1", "4,yes,", "5,yes,1", "6,yes,2",
        "7,yes,1", "8,yes,4"},
       {"x1.tim", "x2.tim", "x3.tim", "x4.tim", "x5.tim", "x6.tim", "x7.tim",
        "x8.tim"},
       8},
      {"maxtims=\"100\" skipduplicates=\"1\"",
       {"1,yes,", "2,yes,", "3,no,1", "3,yes,", "4,no,1", "4,no,2", "4,no,1",
        "4,no,3"},
       {"x1.tim", "x2.tim", "x3.tim"},
       3},
      // The limit is tested after a skipped repeat as after any TIM.
      {"maxtims=\"3\" skipduplicates=\"1\"",
       {"1,yes,", "2,yes,", "3,no,1", "3,yes,", "4,no,1"},
       {"x1.tim", "x2.tim", "x3.tim"},
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
    std::vector<std::string> rows;
    for (const auto& r : csv_rows(box.read("xindex.csv")))
      if (r.at(0) != "number") rows.push_back(r[0] + "," + r[1] + "," + r[22]);
    EXPECT_EQ(rows, c.rows) << c.keys;
    std::vector<std::string> tims;
    for (const std::string& f : box.files())
      if (f.ends_with(".tim")) tims.push_back(f);
    EXPECT_EQ(tims, c.tims) << c.keys;
    // Each skipped repeat's report is followed by its line.
    std::string said;
    for (std::size_t i = 0; i < c.rows.size(); ++i)
      if (c.rows[i].find(",no,") != std::string::npos)
        said += "Same as TIM " + c.rows[i].substr(c.rows[i].rfind(',') + 1) +
                ", not written.\n";
    std::string got;
    for (std::size_t at = out.find("pixelmode: "); at != std::string::npos;
         at = out.find("pixelmode: ", at + 1)) {
      const std::size_t line = out.find('\n', at) + 1;
      if (out.compare(line, 8, "Same as ") == 0)
        got += out.substr(line, out.find('\n', line) + 1 - line);
    }
    EXPECT_EQ(got, said) << c.keys;
    EXPECT_NE(out.find(total(c.total)), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace vexlo::test
