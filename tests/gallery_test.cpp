#include "catalogue/gallery.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace vexlo {
namespace {

CatalogueEntry tim(int32_t number, int32_t bpp, int32_t width, int32_t height) {
  CatalogueEntry e;
  e.number = number;
  e.bpp = bpp;
  e.width = width;
  e.height = height;
  e.consistent = true;
  char name[32];
  std::snprintf(name, sizeof name, "x%d.png", number);
  e.png = name;
  return e;
}

CatalogueEntry with_clut(CatalogueEntry e, uint16_t x, uint16_t y,
                         uint32_t rows) {
  e.clut_x = x;
  e.clut_y = y;
  e.palettes = rows;
  return e;
}

TEST(Gallery, FrameBufferRectangles) {
  struct Case {
    const char* what;
    CatalogueEntry e;
    FbRect image;
    std::optional<FbRect> clut;
  } cases[] = {
      {"4-bit: four pixels a unit",
       with_clut(tim(1, 4, 32, 16), 0, 480, 1),
       {0, 0, 8, 16},
       FbRect{0, 480, 16, 1}},
      {"8-bit, three palettes",
       with_clut(tim(1, 8, 10, 3), 16, 500, 3),
       {0, 0, 5, 3},
       FbRect{16, 500, 256, 3}},
      {"15-bit", tim(1, 15, 7, 2), {0, 0, 7, 2}, std::nullopt},
      // 24-bit widths come from floor(2w/3): w = 3 gives 2, w = 5 gives 3.
      {"24-bit, even width", tim(1, 24, 2, 1), {0, 0, 3, 1}, std::nullopt},
      {"24-bit, odd width", tim(1, 24, 3, 1), {0, 0, 5, 1}, std::nullopt},
  };
  for (Case& c : cases) {
    EXPECT_EQ(image_rect(c.e), c.image) << c.what;
    EXPECT_EQ(clut_rect(c.e), c.clut) << c.what;
  }
  CatalogueEntry placed = tim(1, 15, 4, 4);
  placed.image_x = 65535;
  placed.image_y = 700;
  EXPECT_EQ(image_rect(placed), (FbRect{65535, 700, 4, 4}));
}

// Each case also runs among hundreds of lone 1 x 1 rectangles, which takes
// the counting path instead of the pairwise one.
TEST(Gallery, OverlapsAreFound) {
  struct Case {
    const char* what;
    std::vector<FbRect> rects;
    std::vector<bool> overlaps;
  } cases[] = {
      {"apart", {{0, 0, 8, 8}, {8, 0, 8, 8}}, {false, false}},
      {"one unit shared", {{0, 0, 8, 8}, {7, 7, 8, 8}}, {true, true}},
      {"inside",
       {{0, 0, 64, 64}, {10, 10, 2, 2}, {100, 0, 1, 1}},
       {true, true, false}},
      {"same place", {{5, 5, 3, 3}, {5, 5, 3, 3}}, {true, true}},
      {"only past the edge",
       {{1020, 0, 100, 4}, {1030, 0, 4, 4}, {0, 510, 4, 100}, {0, 600, 4, 4}},
       {false, false, false, false}},
      {"across the edge", {{1020, 0, 100, 4}, {1023, 3, 4, 4}}, {true, true}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(overlapping(c.rects), c.overlaps) << c.what;
    std::vector<FbRect> many = c.rects;
    std::vector<bool> want = c.overlaps;
    for (int32_t i = 0; i < 300; ++i) {
      many.push_back({2 * i, 300 + 2 * (i % 3), 1, 1});
      want.push_back(false);
    }
    EXPECT_EQ(overlapping(many), want) << c.what << ", among many";
  }
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + 1))
    ++n;
  return n;
}

// A disc with a file holding #1 and its repeat #2, and a wide picture #3
// outside every file whose image lies past the frame buffer's edge.
TEST(Gallery, PageMarksGroupsRepeatsAndPlaces) {
  CatalogueEntry first = with_clut(tim(1, 4, 32, 16), 0, 480, 1);
  first.disc_file = "A/B.TIM";
  first.disc_file_offset = 0;
  first.image_x = 320;
  CatalogueEntry repeat = first;
  repeat.number = 2;
  repeat.duplicate_of = 1;
  CatalogueEntry wide = tim(3, 15, 300, 2);
  wide.image_x = 1100;
  const std::string page =
      gallery_page(Settings{}, {}, {{"d.bin", {first, repeat, wide}}});
  struct Case {
    const char* part;
    std::size_t count;
  } cases[] = {
      {"<span class=\"count\">3 TIMs, 1 repeat</span>", 1},
      {"<h3>A/B.TIM</h3>2 TIMs, 1 repeat", 1},
      {"<h3>Outside the disc's files</h3>1 TIM, 0 repeats", 1},
      {"show repeats (1)", 1},
      {"class=\"tile rep\" id=\"t2\"", 1},
      {"<a href=\"#t1\">same as #1</a>", 1},
      // Default sizes: 2x, and 1x past 256 pixels wide.
      {"width=\"64\" height=\"32\" style=\"--w:32;--h:16\">", 2},
      {"width=\"300\" height=\"2\" style=\"--w:300;--h:2\" class=\"wide\"", 1},
      // One frame buffer per group; the repeat is not drawn over its first.
      {"<div class=\"fb\">", 2},
      {"<a class=\"r\" href=\"#t1\" data-n=\"1\" "
       "style=\"--x:320;--y:0;--w:8;--h:16;background-image:url(x1.png)\"",
       1},
      {"<a class=\"r c\" href=\"#t1\" data-n=\"1\" "
       "style=\"--x:0;--y:480;--w:16;--h:1\"",
       1},
      {"data-n=\"2\" style", 0},
      {"Images outside the frame buffer: #3</p>", 1},
      // Nothing on <body> until the script sets the controls' choices.
      {"<body>", 1},
      {"id=\"bar\" hidden>", 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(occurrences(page, c.part), c.count) << c.part;
}

}  // namespace
}  // namespace vexlo
