#include "convert/png.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/png_check.h"
#include "tests/tim_builder.h"

namespace vexlo {
namespace {

using test::Bytes;

// No TIM header gives a 4-bit image an odd width, yet the encoder must pad
// the last nibble of such rows; its rows then start mid-byte in the TIM.
TEST(PngEncoder, OddWidthFourBitRowsArePadded) {
  if (const std::string why = test::png_tools_missing(); !why.empty())
    GTEST_SKIP() << why;
  const Bytes tim = test::make_tim(
      {.clut = {0x0000, 0x001F, 0x03E0, 0x7C00, 0x8000, 0x801F, 0x7FFF},
       .w = 2,
       .h = 3,
       .pixels = {0x10, 0x32, 0x54, 0x06, 0x21, 0x43, 0x65, 0, 0, 0, 0, 0}});
  auto found = examine_offset(tim, 0, -1);
  ASSERT_TRUE(found);
  found->info.width = 5;
  const auto path = std::filesystem::temp_directory_path() /
                    ("vexlo-png-" + std::to_string(::getpid()) + ".png");
  std::ofstream file(path, std::ios::binary);
  EXPECT_TRUE(encode_png(found->info, 0, kPngLevel, [&](auto b) {
    file.write(reinterpret_cast<const char*>(b.data()), std::ssize(b));
    return true;
  }));
  file.close();
  EXPECT_TRUE(test::pngcheck_ok(path));
  EXPECT_EQ(test::magick_pixels(path), test::expected_pixels(tim, 0, false, 5));
  std::filesystem::remove(path);
}

TEST(PngEncoder, StreamsInBoundedPiecesAndStopsWhenTheSinkFails) {
  // 1024 x 1024 15-bit pixels of noise: megabytes of deflated rows.
  test::TimLayout s{.flags = 0x02, .w = 1024, .h = 1024};
  uint32_t seed = 1;
  for (int i = 0; i < 1024 * 1024 * 2; ++i, seed = seed * 1103515245u + 12345u)
    s.pixels.push_back(static_cast<uint8_t>(seed >> 16));
  const Bytes tim = test::make_tim(s);
  const auto found = examine_offset(tim, 0, -1);
  ASSERT_TRUE(found);
  std::size_t pieces = 0, largest = 0;
  EXPECT_TRUE(encode_png(found->info, 0, kPngLevel, [&](auto b) {
    ++pieces;
    largest = std::max(largest, b.size());
    return true;
  }));
  EXPECT_GT(pieces, 16u);
  EXPECT_LE(largest, (64u << 10) + 64);
  int calls = 0;
  EXPECT_FALSE(encode_png(found->info, 0, kPngLevel, [&](auto) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vexlo
