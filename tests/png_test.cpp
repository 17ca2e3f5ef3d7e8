#include "convert/png.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "convert/images.h"
#include "convert/pixels.h"
#include "tests/png_check.h"
#include "tests/tim_builder.h"

namespace vexlo {
namespace {

using test::Bytes;
using test::make_tim;

TEST(ConsoleColour, PngWidensAndKeepsTransparency) {
  struct Case {
    uint16_t v;
    Rgba want;
  } cases[] = {
      {0x0000, {0, 0, 0, 0}},         {0x8000, {0, 0, 0, 255}},
      {0x7FFF, {255, 255, 255, 255}}, {0xFFFF, {255, 255, 255, 254}},
      {0x801F, {255, 0, 0, 254}},     {0x0421, {8, 8, 8, 255}},
      {0x2940, {0, 82, 82, 255}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(console_colour(c.v, Target::kPng), c.want) << c.v;
}

TEST(ImageNames, PaletteRowsGoBeforeTheExtension) {
  EXPECT_EQ(palette_name("x3.png", 0), "x3.png");
  EXPECT_EQ(palette_name("x3.png", 1), "x3_pal1.png");
  EXPECT_EQ(palette_name("out/x_0000004096.bmp", 12),
            "out/x_0000004096_pal12.bmp");
}

Bytes encode(const TimInfo& info, int level = kPngLevel) {
  Bytes png;
  EXPECT_TRUE(encode_png(info, 0, level, [&](std::span<const uint8_t> b) {
    png.insert(png.end(), b.begin(), b.end());
    return true;
  }));
  return png;
}

// No TIM header gives a 4-bit image an odd width, yet the encoder must pad
// the last nibble of such rows; rows still start mid-byte in the TIM.
TEST(PngEncoder, OddWidthFourBitRowsArePadded) {
  if (const std::string why = test::png_tools_missing(); !why.empty())
    GTEST_SKIP() << why;
  const Bytes tim = make_tim(
      {.clut = {0x0000, 0x001F, 0x03E0, 0x7C00, 0x8000, 0x801F, 0x7FFF},
       .w = 2,
       .h = 3,
       .pixels = {0x10, 0x32, 0x54, 0x06, 0x21, 0x43, 0x65, 0x00, 0, 0, 0, 0}});
  auto found = examine_offset(tim, 0, -1);
  ASSERT_TRUE(found);
  found->info.width = 5;
  const auto path = std::filesystem::temp_directory_path() /
                    ("vexlo-png-" + std::to_string(::getpid()) + ".png");
  {
    const Bytes png = encode(found->info);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()),
               static_cast<std::streamsize>(png.size()));
  }
  EXPECT_EQ(test::pngcheck(path), "");
  EXPECT_EQ(test::magick_pixels(path), test::expected_pixels(tim, 0, false, 5));
  if (!HasFailure()) std::filesystem::remove(path);
}

TEST(PngEncoder, StreamsInBoundedPiecesAndStopsWhenTheSinkFails) {
  // 1024 x 1024 15-bit pixels of noise: megabytes of deflated rows.
  test::TimLayout s{.flags = 0x02, .w = 1024, .h = 1024};
  uint32_t seed = 1;
  for (int i = 0; i < 1024 * 1024 * 2; ++i) {
    seed = seed * 1103515245u + 12345u;
    s.pixels.push_back(static_cast<uint8_t>(seed >> 16));
  }
  const Bytes tim = make_tim(s);
  const auto found = examine_offset(tim, 0, -1);
  ASSERT_TRUE(found);
  std::size_t pieces = 0, largest = 0;
  EXPECT_TRUE(
      encode_png(found->info, 0, kPngLevel, [&](std::span<const uint8_t> b) {
        ++pieces;
        largest = std::max(largest, b.size());
        return true;
      }));
  EXPECT_GT(pieces, 16u);
  EXPECT_LE(largest, (64u << 10) + 64);
  int calls = 0;
  EXPECT_FALSE(
      encode_png(found->info, 0, kPngLevel, [&](std::span<const uint8_t>) {
        ++calls;
        return false;
      }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vexlo
