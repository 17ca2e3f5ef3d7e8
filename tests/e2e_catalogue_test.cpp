// End-to-end: the catalogue (writeindex), read back by Python's csv module
// and opened in headless Chromium.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;
using Table = std::vector<std::vector<std::string>>;

bool have(const std::string& check) {
  return std::system((check + " >/dev/null 2>&1").c_str()) == 0;
}

// `s` as one shell word.
std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string text_of(const fs::path& p) {
  const Bytes b = read_file(p);
  return std::string(b.begin(), b.end());
}

// The CSV as Python's csv module reads it (strict), field by field, byte
// for byte: the script writes each field as its length, a line end, then its
// bytes.
Table python_csv(const Sandbox& box, const std::string& rel) {
  const fs::path script = box.dir().parent_path() / "read_csv.py";
  const fs::path out = box.dir().parent_path() / "csv_fields";
  std::ofstream(script) << R"(import csv, sys
out = open(sys.argv[2], 'wb')
with open(sys.argv[1], newline='', encoding='latin-1') as f:
    for row in csv.reader(f, strict=True):
        out.write(b'%d\n' % len(row))
        for v in row:
            b = v.encode('latin-1')
            out.write(b'%d\n' % len(b) + b)
)";
  const std::string cmd = "python3 " + quoted(script.string()) + " " +
                          quoted(box.path(rel).string()) + " " +
                          quoted(out.string());
  Table rows;
  if (std::system(cmd.c_str()) != 0) return rows;
  const std::string s = text_of(out);
  std::size_t at = 0;
  auto number = [&] {
    const std::size_t end = s.find('\n', at);
    const std::size_t n = std::stoul(s.substr(at, end - at));
    at = end + 1;
    return n;
  };
  while (at < s.size()) {
    rows.emplace_back(number());
    for (std::string& field : rows.back()) {
      const std::size_t n = number();
      field = s.substr(at, n);
      at += n;
    }
  }
  return rows;
}

const std::vector<std::string> kColumns = {"number",        "counted",
                                           "file",          "offset",
                                           "sector",        "sector_offset",
                                           "size",          "mode",
                                           "bpp",           "width",
                                           "height",        "palettes",
                                           "image_x",       "image_y",
                                           "clut_x",        "clut_y",
                                           "consistent",    "tim",
                                           "bmp",           "png",
                                           "disc_file",     "disc_file_offset",
                                           "duplicate_of",  "packed",
                                           "packed_offset", "disc"};

// One row as a column-to-value map, for readable failures.
std::map<std::string, std::string> named(const std::vector<std::string>& row) {
  std::map<std::string, std::string> m;
  for (std::size_t i = 0; i < kColumns.size() && i < row.size(); ++i)
    m[kColumns[i]] = row[i];
  return m;
}

TimLayout direct15(uint16_t w, uint16_t h, uint16_t colour) {
  Bytes px;
  for (int i = 0; i < w * h; ++i) put16(px, colour);
  return {.flags = 0x02, .w = w, .h = h, .pixels = px};
}

struct Expect {
  Bytes tim;
  std::string mode, bpp, width, height, palettes, consistent;
  bool bitmap = true;
};

TEST(Catalogue, CsvAgreesWithTheReportsAndChangesNothingElse) {
  if (!have("python3 -c 'import csv'")) GTEST_SKIP() << "python3 is missing";
  TimLayout padded4 = direct15(3, 2, 0x7C00);
  padded4.image_len = 12 + 12 + 4;  // blocks disagree with the pixels
  padded4.pixels.resize(16, 0);
  const std::vector<Expect> tims = {
      {tim_4bit_32x16(), "4-bit CLUT", "4", "32", "16", "1", "yes"},
      {make_tim(padded4), "15-bit direct", "15", "3", "2", "0", "no"},
      {make_tim({.flags = 0x09,
                 .clut_w = 256,
                 .clut_h = 3,
                 .w = 4,
                 .h = 2,
                 .pixels = Bytes(16, 1)}),
       "8-bit CLUT", "8", "8", "2", "3", "yes"},
      {make_tim({.flags = 0x0C,
                 .clut_w = 256,
                 .w = 2,
                 .h = 2,
                 .pixels = Bytes(8, 1)}),
       "Mixed", "8", "4", "2", "1", "yes", false},
      {make_tim({.flags = 0x03, .w = 6, .h = 2, .pixels = Bytes(24, 9)}),
       "24-bit direct", "24", "4", "2", "0", "yes"},
  };
  Bytes file(5, 0xAA);
  std::vector<std::size_t> offsets;
  for (const Expect& t : tims) {
    offsets.push_back(file.size());
    file.insert(file.end(), t.tim.begin(), t.tim.end());
    file.insert(file.end(), 7, 0xAA);
  }
  file.insert(file.end(), 64, 0xAA);

  Sandbox plain, indexed;
  const std::string cfg =
      "infile=\"in.bin\" outname=\"out/x_\" writetim=\"1\" writebmp=\"1\" "
      "mintimsize=\"1\"";
  for (const Sandbox* box : {&plain, &indexed}) {
    box->write("in.bin", file);
    fs::create_directory(box->path("out"));
  }
  plain.config(cfg);
  indexed.config(cfg + " writeindex=\"1\"");
  const Outcome a = plain.run(), b = indexed.run();
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(a.status, b.status);
  std::vector<std::string> files = plain.files("out");
  files.push_back("x_index.csv");
  files.push_back("x_index.html");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(indexed.files("out"), files);

  const Table rows = python_csv(indexed, "out/x_index.csv");
  ASSERT_EQ(rows.size(), tims.size() + 1);
  EXPECT_EQ(rows[0], kColumns);
  for (std::size_t i = 0; i < tims.size(); ++i) {
    const Expect& t = tims[i];
    const std::string n = std::to_string(i + 1);
    const bool clut = t.tim[4] & 8;
    // The console report of this TIM, as the CSV's numbers tell it.
    EXPECT_NE(b.out.find(report(offsets[i], t.tim.size(), std::stoi(t.width),
                                std::stoi(t.height), t.mode)),
              std::string::npos);
    const std::map<std::string, std::string> want = {
        {"number", n},
        {"counted", "yes"},
        {"file", "in.bin"},
        {"offset", std::to_string(offsets[i])},
        {"sector", ""},
        {"sector_offset", ""},
        {"size", std::to_string(t.tim.size())},
        {"mode", t.mode},
        {"bpp", t.bpp},
        {"width", t.width},
        {"height", t.height},
        {"palettes", t.palettes},
        {"image_x", "0"},
        {"image_y", "0"},
        {"clut_x", clut ? "0" : ""},
        {"clut_y", clut ? "480" : ""},
        {"consistent", t.consistent},
        {"tim", "x_" + n + ".tim"},
        {"bmp", t.bitmap ? "x_" + n + ".bmp" : ""},
        {"png", ""},
        {"disc_file", ""},
        {"disc_file_offset", ""},
        {"duplicate_of", ""},
        {"packed", ""},
        {"packed_offset", ""},
        {"disc", ""}};
    EXPECT_EQ(named(rows[i + 1]), want) << "row " << n;
  }
  // Records end in CRLF; nothing else ends a line here.
  const std::string raw = text_of(indexed.path("out/x_index.csv"));
  EXPECT_EQ(raw.substr(raw.size() - 2), "\r\n");
  std::size_t crlf = 0;
  for (std::size_t p = raw.find("\r\n"); p != std::string::npos;
       p = raw.find("\r\n", p + 2))
    ++crlf;
  EXPECT_EQ(crlf, tims.size() + 1);
  EXPECT_EQ(std::count(raw.begin(), raw.end(), '\n'), tims.size() + 1);
}

// A tree whose file names and outname hold what CSV and HTML must escape,
// each file with a TIM of its own size: 4-bit 32x16 in the first, 15-bit
// red ones after it. Returns the paths the "Reading" lines show.
struct HostileTree {
  std::string outname;
  std::vector<std::string> names;
};

HostileTree hostile_tree(const Sandbox& box) {
  HostileTree t;
  // Windows forbids " < > and line ends in names.
  if (Sandbox::windows_build()) {
    t.outname = "o&,'%#_";
    t.names = {"a,b.bin", "it's & co.bin", "100% #1.bin"};
  } else {
    t.outname = "o&<,'%#_";
    t.names = {"a,b.bin", "say \"hi\".bin", "two\r\nlines.bin",
               "<script>&'x'.bin"};
  }
  for (std::size_t i = 0; i < t.names.size(); ++i) {
    const Bytes tim =
        i == 0 ? tim_4bit_32x16()
               : make_tim(direct15(static_cast<uint16_t>(8 * i + 4),
                                   static_cast<uint16_t>(2 + i), 0x001F));
    box.write("t/" + t.names[i], embed(tim, 3, 100));
  }
  box.config("inpath=\"t\" outname=\"" + t.outname +
             "\" writetim=\"1\" writebmp=\"1\" writeindex=\"1\"");
  return t;
}

TEST(Catalogue, HostileNamesRoundTripThroughTheCsv) {
  if (!have("python3 -c 'import csv'")) GTEST_SKIP() << "python3 is missing";
  Sandbox box;
  const HostileTree t = hostile_tree(box);
  const Outcome o = box.run();
  const Table rows = python_csv(box, t.outname + "index.csv");
  ASSERT_EQ(rows.size(), t.names.size() + 1);
  std::set<std::string> shown;
  for (const std::string& n : t.names)
    shown.insert(Sandbox::shown(box.path("t/" + n)));
  std::size_t last = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    auto row = named(rows[i]);
    // Files appear in scan order, each once, as their "Reading" lines show.
    EXPECT_EQ(shown.erase(row["file"]), 1u) << row["file"];
    const std::size_t at = o.out.find("Reading " + row["file"] + " (");
    EXPECT_NE(at, std::string::npos);
    EXPECT_GE(at, last);
    last = at;
    const std::string n = std::to_string(i);
    EXPECT_EQ(row["tim"], t.outname + n + ".tim");
    EXPECT_EQ(row["bmp"], t.outname + n + ".bmp");
    EXPECT_TRUE(box.exists(row["bmp"]));
  }
  EXPECT_EQ(o.out.find("Could not write"), std::string::npos);
}

// Headless Chromium on `page` with `args`; its standard output.
std::string chromium(const Sandbox& box, const fs::path& page,
                     const std::string& args) {
  const fs::path profile = box.dir().parent_path() / "chromium-profile";
  fs::remove_all(profile);
  fs::create_directory(profile);
  const fs::path out = box.dir().parent_path() / "chromium-out";
  const std::string cmd =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu "
      "--no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --hide-scrollbars "
      "--user-data-dir='" +
      profile.string() + "' " + args + " 'file://" + page.string() + "' >'" +
      out.string() + "' 2>/dev/null";
  std::system(cmd.c_str());
  return text_of(out);
}

std::string percent_decoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Appended to a copy of the page whose images load at once: lists each
// image's decoded size, then each section's path, when the page has loaded.
constexpr const char* kProbe = R"(<script>
window.addEventListener('load', () => {
  const lines = [];
  for (const img of document.images)
    lines.push('image ' + img.naturalWidth + 'x' + img.naturalHeight);
  for (const h of document.querySelectorAll('h2'))
    lines.push('file ' + encodeURIComponent(h.textContent));
  const pre = document.createElement('pre');
  pre.id = 'probe';
  pre.textContent = lines.join('\n');
  document.body.append(pre);
});
</script>
)";

TEST(Catalogue, GalleryShowsEveryImageInABrowser) {
  if (!have("command -v chromium"))
    GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  if (!have("python3 -c 'import csv'")) GTEST_SKIP() << "python3 is missing";
  Sandbox box;
  const HostileTree t = hostile_tree(box);
  box.run();
  const std::string page = text_of(box.path(t.outname + "index.html"));
  ASSERT_FALSE(page.empty());
  // Self-contained: one inline script, nothing fetched from elsewhere.
  EXPECT_EQ(page.find("<script"), page.rfind("<script>\n"));
  EXPECT_EQ(page.find("://"), std::string::npos);

  // The page's images are lazy, so that a page of thousands opens quickly;
  // the probe's copy loads them at once, so its load event waits for all.
  const std::string lazy = " loading=\"lazy\"";
  std::string probe = page;
  std::size_t lazies = 0;
  for (std::size_t at = probe.find(lazy); at != std::string::npos;
       at = probe.find(lazy, at)) {
    probe.replace(at, lazy.size(), " loading=\"eager\"");
    ++lazies;
  }
  EXPECT_EQ(lazies, t.names.size());
  probe.insert(probe.rfind("</body>"), kProbe);
  box.write("probe.html", probe);
  // One start of the browser for both the DOM and the screenshot.
  const fs::path shot = box.dir().parent_path() / "shot.png";
  const std::string dom =
      chromium(box, box.path("probe.html"),
               "--window-size=1000,1400 --screenshot=" + quoted(shot.string()) +
                   " --dump-dom");
  const std::size_t from = dom.find("<pre id=\"probe\">");
  ASSERT_NE(from, std::string::npos) << dom;
  std::istringstream lines(
      dom.substr(from + 16, dom.find("</pre>", from) - from - 16));
  std::vector<std::string> images, files;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("image ")) images.push_back(line.substr(6));
    if (line.starts_with("file "))
      files.push_back(percent_decoded(line.substr(5)));
  }
  // Every image decoded with its TIM's size, and each section shows its
  // file's path as text, in the CSV's order.
  const Table rows = python_csv(box, t.outname + "index.csv");
  ASSERT_EQ(rows.size(), t.names.size() + 1);
  std::vector<std::string> want_images, want_files;
  for (std::size_t i = 1; i < rows.size(); ++i) {
    auto row = named(rows[i]);
    want_images.push_back(row["width"] + "x" + row["height"]);
    want_files.push_back(row["file"]);
  }
  EXPECT_EQ(images, want_images);
  EXPECT_EQ(files, want_files);

  // The screenshot shows the pictures: the red of the 15-bit TIMs.
  if (!have("/usr/bin/convert -version | grep -q ImageMagick"))
    GTEST_SKIP() << "ImageMagick is not installed; screenshot not checked";
  const fs::path count = box.dir().parent_path() / "red";
  std::system(("/usr/bin/convert '" + shot.string() +
               "' -alpha off -fuzz 2% -fill black +opaque 'rgb(248,0,0)' "
               "-fill white -opaque 'rgb(248,0,0)' -format '%[fx:mean*w*h]' "
               "info: >'" +
               count.string() + "'")
                  .c_str());
  EXPECT_GT(std::atof(text_of(count).c_str()), 1000.0);
}

TEST(Catalogue, FailuresAreReportedAndTheRunGoesOn) {
  Sandbox box;
  const std::string found = report(10, 320, 32, 16, "4-bit CLUT");
  struct Case {
    const char* what;
    const char* input;
    const char* blocker;  // a directory standing where a file goes
    std::string out;
    const char* row;  // the CSV's data row, when it is written
  } cases[] = {
      {"the CSV cannot be created", "in.bin", "xindex.csv",
       "Could not write xindex.csv\n" + reading("in.bin", 430) + found +
           total(1),
       nullptr},
      {"the input is never replaced", "xindex.csv", nullptr,
       "Could not write xindex.csv\n" + reading("xindex.csv", 430) + found +
           total(1),
       nullptr},
      {"the page cannot be created", "in.bin", "xindex.html",
       reading("in.bin", 430) + found + "Could not write xindex.html\n" +
           total(1),
       "1,yes,in.bin,10,,,320,4-bit CLUT,4,32,16,1,0,0,0,480,yes,x1.tim,"
       "x1.bmp,,,,,,,\r\n"},
      {"the copy cannot be written", "in.bin", "x1.tim",
       reading("in.bin", 430) + found + "Could not write x1.tim\n" + total(0),
       "1,no,in.bin,10,,,320,4-bit CLUT,4,32,16,1,0,0,0,480,yes,,,,,,,,,\r\n"},
  };
  const std::string header =
      "number,counted,file,offset,sector,sector_offset,size,mode,bpp,width,"
      "height,palettes,image_x,image_y,clut_x,clut_y,consistent,tim,bmp,"
      "png,disc_file,disc_file_offset,duplicate_of,packed,packed_offset,"
      "disc\r\n";
  for (const Case& c : cases) {
    if (c.blocker) fs::create_directory(box.path(c.blocker));
    box.write(c.input, one_tim());
    box.config(std::string("infile=\"") + c.input +
               "\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
               "writeindex=\"1\"");
    EXPECT_EQ(box.run().out, kHead + c.out) << c.what;
    EXPECT_EQ(box.read(c.input), one_tim()) << c.what;
    if (c.row) {
      EXPECT_EQ(text_of(box.path("xindex.csv")), header + c.row) << c.what;
    }
    for (const std::string& f : box.files())
      if (f != "vexlo.cfg") fs::remove(box.path(f));
    if (c.blocker) fs::remove(box.path(c.blocker));
  }
}

TEST(Catalogue, WithoutImagesTilesHoldTheCaptionAlone) {
  Sandbox box;
  box.write("in.bin", one_tim());
  box.config("infile=\"in.bin\" outname=\"x\" writeindex=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("in.bin", 430) +
                               report(10, 320, 32, 16, "4-bit CLUT") +
                               total(1));
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{"in.bin", "vexlo.cfg", "xindex.csv",
                                      "xindex.html"}));
  const std::string page = text_of(box.path("xindex.html"));
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_NE(page.find("32 x 16"), std::string::npos);
  // A tree search never scans the index it is writing.
  box.config("inpath=\".\" outname=\"x\" writeindex=\"1\"");
  const std::string out = box.run().out;
  EXPECT_NE(out.find("in.bin"), std::string::npos);
  EXPECT_EQ(out.find("xindex.csv"), std::string::npos);
  // Without outname nothing is written, the index neither.
  box.config("infile=\"in.bin\" writeindex=\"1\"");
  fs::remove(box.path("xindex.csv"));
  fs::remove(box.path("xindex.html"));
  box.run();
  EXPECT_EQ(box.files(), (std::vector<std::string>{"in.bin", "vexlo.cfg"}));
}

}  // namespace
}  // namespace vexlo::test
