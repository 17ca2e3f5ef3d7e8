#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "extract/extract.h"
#include "tests/tim_builder.h"

namespace vexlo {
namespace {

using test::Bytes;
using test::make_tim;
using test::TimLayout;

TEST(Catalogue, TextEscapes) {
  struct Case {
    std::string in, csv, html, link;
  } cases[] = {
      {"plain.bin", "plain.bin", "plain.bin", "plain.bin"},
      {"", "", "", ""},
      {"a,b", "\"a,b\"", "a,b", "a%2Cb"},
      {"say \"hi\"", "\"say \"\"hi\"\"\"", "say &quot;hi&quot;",
       "say%20%22hi%22"},
      {"two\r\nlines", "\"two\r\nlines\"", "two&#13;\nlines", "two%0D%0Alines"},
      {"<script>&'x'.bin", "<script>&'x'.bin",
       "&lt;script&gt;&amp;&#39;x&#39;.bin", "%3Cscript%3E%26%27x%27.bin"},
      {"C:d/e?f#g%\xE9~", "C:d/e?f#g%\xE9~", "C:d/e?f#g%\xE9~",
       "C%3Ad%2Fe%3Ff%23g%25%E9~"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(csv_field(c.in), c.csv) << c.in;
    EXPECT_EQ(html_escape(c.in), c.html) << c.in;
    EXPECT_EQ(percent_encode(c.in), c.link) << c.in;
  }
}

TEST(Catalogue, NamesRelativeToTheIndexFolder) {
  EXPECT_EQ(name_in_index_folder("out/x_", "out/x_1.tim"), "x_1.tim");
  EXPECT_EQ(name_in_index_folder("a/b/", "a/b/7.bmp"), "7.bmp");
  EXPECT_EQ(name_in_index_folder("x_", "x_1.tim"), "x_1.tim");
  EXPECT_EQ(name_in_index_folder("out/x_", ""), "");
}

TEST(Catalogue, RowHasEveryColumnInOrder) {
  CatalogueEntry e;
  e.number = 3;
  e.counted = false;
  e.file = "d,ir/f.bin";
  e.offset = 4096;
  e.sector = 18;
  e.sector_offset = 1768;
  e.size = 320;
  e.mode = "4-bit CLUT";
  e.bpp = 4;
  e.width = 32;
  e.height = 16;
  e.palettes = 2;
  e.image_x = 640;
  e.image_y = 1;
  e.clut_x = 0;
  e.clut_y = 480;
  e.bmp = "x3.bmp";
  EXPECT_EQ(csv_row(e),
            "3,no,\"d,ir/f.bin\",4096,18,1768,320,4-bit CLUT,4,32,16,2,640,1,"
            "0,480,no,,x3.bmp,,,,,,,\r\n");
  e.clut_x.reset();
  e.clut_y.reset();
  e.sector.reset();
  e.sector_offset.reset();
  e.consistent = true;
  EXPECT_EQ(csv_row(e),
            "3,no,\"d,ir/f.bin\",4096,,,320,4-bit CLUT,4,32,16,2,640,1,,,yes,,"
            "x3.bmp,,,,,,,\r\n");
  e.packed = "gt-zip";
  e.packed_offset = 0;
  EXPECT_EQ(csv_row(e),
            "3,no,\"d,ir/f.bin\",4096,,,320,4-bit CLUT,4,32,16,2,640,1,,,yes,,"
            "x3.bmp,,,,,gt-zip,0,\r\n");
  e.disc = 2;
  EXPECT_TRUE(csv_row(e).ends_with(",gt-zip,0,2\r\n"));
  const std::string header = csv_header();
  EXPECT_EQ(std::count(header.begin(), header.end(), ','), 25);
  EXPECT_TRUE(header.ends_with(",duplicate_of,packed,packed_offset,disc\r\n"));
}

// Blocks that agree or disagree with their pixels, and the CLUT rows and
// placement each record gets.
TEST(Catalogue, RecordOfARecognisedTim) {
  struct Case {
    const char* what;
    TimLayout layout;
    bool consistent;
    uint32_t palettes;
  } cases[] = {
      {"4-bit, natural lengths", {.w = 8, .h = 16}, true, 1},
      {"image padded by 2", {.image_len = 270, .w = 8, .h = 16}, true, 1},
      {"image padded by 4", {.image_len = 272, .w = 8, .h = 16}, false, 1},
      {"image short", {.image_len = 28, .w = 8, .h = 16}, false, 1},
      // 12 + 2 * 65535 * 32769 is 65546 in 32-bit arithmetic.
      {"image length wraps",
       {.image_len = 65546, .w = 65535, .h = 32769},
       false,
       1},
      {"three CLUT rows", {.clut_h = 3, .w = 8, .h = 16}, true, 3},
      {"CLUT w x h disagree",
       {.clut_len = 44, .clut_w = 8, .w = 8, .h = 16},
       false,
       1},
      {"8-bit", {.flags = 0x09, .clut_w = 256, .w = 2, .h = 2}, true, 1},
      {"15-bit", {.flags = 0x02, .w = 3, .h = 2}, true, 0},
  };
  for (Case& c : cases) {
    TimLayout& l = c.layout;
    if (l.image_len == 0) l.pixels.assign(2u * l.w * l.h, 0);
    Bytes tim = make_tim(l);
    tim.resize(tim.size() + 70000, 0);  // room for every claimed size
    const auto found = examine_offset(tim, 0, -1);
    ASSERT_TRUE(found) << c.what;
    EXPECT_EQ(blocks_consistent(found->info), c.consistent) << c.what;
    TimHit hit;
    hit.found = *found;
    hit.file = "in.bin";
    const CatalogueEntry e = catalogue_entry(hit, 7);
    EXPECT_EQ(e.palettes, c.palettes) << c.what;
    EXPECT_EQ(e.number, 7);
    EXPECT_EQ(e.file, "in.bin");
    EXPECT_EQ(e.clut_y.has_value(), (l.flags & 8) != 0) << c.what;
    if (e.clut_y) {
      EXPECT_EQ(*e.clut_y, 480);
    }
  }
}

TEST(Catalogue, PageEscapesTextLinksPicturesAndTellsWhatItLeavesOut) {
  Settings s;
  s.outname = "o/<x>_";
  CatalogueEntry e;
  e.bmp = "<x>_1 a.bmp";
  e.width = 3;
  e.height = 2;
  const std::string page = gallery_page(s, {.reported = 4, .not_shown = 3},
                                        {{"<script>&.bin", {e}}});
  // The page's own inline script is its only one; the name stays text.
  EXPECT_EQ(page.find("<script"), page.rfind("<script>\n"));
  EXPECT_EQ(page.find("<script>&"), std::string::npos);
  EXPECT_NE(page.find("<h2>&lt;script&gt;&amp;.bin</h2>"), std::string::npos);
  EXPECT_NE(page.find("src=\"%3Cx%3E_1%20a.bmp\" loading=\"lazy\""),
            std::string::npos);
  // Pictures show at 2x by default: 3 x 2 at 6 x 4.
  EXPECT_NE(page.find("width=\"6\" height=\"4\""), std::string::npos);
  EXPECT_NE(
      page.find("3 more TIMs are not shown here.</b> &lt;x&gt;_index.csv"),
      std::string::npos);
}

}  // namespace
}  // namespace vexlo
