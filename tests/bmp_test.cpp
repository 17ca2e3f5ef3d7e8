#include "convert/bmp.h"

#include <gtest/gtest.h>

#include "tests/tim_builder.h"
#include "tim/tim.h"

namespace vexlo {
namespace {

using test::Bytes;
using test::make_tim;
using test::TimLayout;

uint32_t u32_at(const std::vector<uint8_t>& b, std::size_t at) {
  return read_u32le(b.data() + at);
}

// The BGR bytes of pixel (x, y), y counted from the top of the picture.
std::array<uint8_t, 3> pixel(const std::vector<uint8_t>& bmp, int x, int y) {
  const uint32_t w = u32_at(bmp, 18), h = u32_at(bmp, 22);
  const uint32_t row = (w * 3 + 3) & ~3u;
  const std::size_t at = 54 + (h - 1 - static_cast<uint32_t>(y)) * row + 3 * x;
  return {bmp[at], bmp[at + 1], bmp[at + 2]};
}

std::vector<uint8_t> convert(const Bytes& tim) {
  const auto r = examine_offset(tim, 0, -1);
  EXPECT_TRUE(r);
  std::vector<uint8_t> out;
  EXPECT_EQ(build_bmp(r->info, out), BmpStatus::kBuilt);
  return out;
}

using Bgr = std::array<uint8_t, 3>;

TEST(SplitColour, ShiftsFiveBitComponents) {
  struct Case {
    uint16_t v;
    Bgr want;
  } cases[] = {{0x7FFF, {248, 248, 248}}, {0x001F, {0, 0, 248}},
               {0x8000, {0, 0, 0}},       {0x03E0, {0, 248, 0}},
               {0x7C00, {248, 0, 0}},     {0x0421, {8, 8, 8}}};
  for (const Case& c : cases) EXPECT_EQ(split_colour(c.v), c.want) << c.v;
}

TEST(BuildBmp, HeaderOfThe32x16Example) {
  const std::vector<uint8_t> bmp = convert(test::tim_4bit_32x16());
  ASSERT_EQ(bmp.size(), 1590u);
  EXPECT_EQ(bmp[0], 'B');
  EXPECT_EQ(bmp[1], 'M');
  const std::pair<std::size_t, uint32_t> fields[] = {
      {2, 1590}, {6, 0},     {10, 54}, {14, 40}, {18, 32}, {22, 16},
      {30, 0},   {34, 1536}, {38, 0},  {42, 0},  {46, 0},  {50, 0}};
  for (auto [at, want] : fields) EXPECT_EQ(u32_at(bmp, at), want) << at;
  EXPECT_EQ(read_u16le(bmp.data() + 26), 1);
  EXPECT_EQ(read_u16le(bmp.data() + 28), 24);
}

TEST(BuildBmp, FourBitNibbleOrderAndTopRowFirst) {
  TimLayout s{.flags = 0x08, .clut = {0x0000, 0x001F, 0x03E0, 0x7C00}};
  s.w = 1;  // 4 pixels
  s.h = 2;
  s.pixels = {0x21, 0x03, 0x00, 0x00};
  const auto bmp = convert(make_tim(s));
  EXPECT_EQ(pixel(bmp, 0, 0), (Bgr{0, 0, 248}));  // low nibble: entry 1
  EXPECT_EQ(pixel(bmp, 1, 0), (Bgr{0, 248, 0}));  // high nibble: entry 2
  EXPECT_EQ(pixel(bmp, 2, 0), (Bgr{248, 0, 0}));
  EXPECT_EQ(pixel(bmp, 3, 0), (Bgr{0, 0, 0}));
  EXPECT_EQ(pixel(bmp, 0, 1), (Bgr{0, 0, 0}));
  // The top TIM row is stored last in the file.
  EXPECT_EQ(bmp[54 + 12], 0);
  EXPECT_EQ(bmp[54 + 12 + 2], 248);
}

TEST(BuildBmp, EightBitRowsArePadded) {
  TimLayout s{
      .flags = 0x09, .clut_w = 256, .clut = std::vector<uint16_t>(256, 0)};
  s.clut[5] = 0x001F;
  s.w = 3;  // 6 pixels: 18 bytes a row, padded to 20
  s.h = 2;
  s.pixels.assign(12, 0);
  s.pixels[7] = 5;  // row 1, column 1
  const auto bmp = convert(make_tim(s));
  ASSERT_EQ(bmp.size(), 54u + 40);
  EXPECT_EQ(u32_at(bmp, 34), 40u);
  EXPECT_EQ(pixel(bmp, 1, 1), (Bgr{0, 0, 248}));
  for (std::size_t pad : {54 + 18, 54 + 19, 54 + 38, 54 + 39})
    EXPECT_EQ(bmp[pad], 0) << pad;
}

TEST(BuildBmp, OnlyTheFirstClutRowIsUsed) {
  TimLayout s{
      .flags = 0x08, .clut_h = 2, .clut = std::vector<uint16_t>(32, 0x7FFF)};
  s.clut[1] = 0x001F;  // row 0 entry 1; row 1 entry 1 stays white
  s.w = 1;
  s.h = 1;
  s.pixels = {0x11, 0x11};
  const auto bmp = convert(make_tim(s));
  EXPECT_EQ(pixel(bmp, 0, 0), (Bgr{0, 0, 248}));
}

TEST(BuildBmp, FifteenBit) {
  TimLayout s{.flags = 0x02,
              .w = 3,
              .h = 1,
              .pixels = {0xFF, 0x7F, 0x1F, 0x00, 0x00, 0x80}};
  const auto bmp = convert(make_tim(s));
  EXPECT_EQ(pixel(bmp, 0, 0), (Bgr{248, 248, 248}));
  EXPECT_EQ(pixel(bmp, 1, 0), (Bgr{0, 0, 248}));
  EXPECT_EQ(pixel(bmp, 2, 0), (Bgr{0, 0, 0}));
}

TEST(BuildBmp, TwentyFourBitReadsOneContinuousRun) {
  TimLayout s;
  s.flags = 0x03;
  s.w = 4;  // 2 pixels a row; a TIM row is 8 bytes, but pixels run on
  s.h = 2;
  for (int i = 0; i < 16; ++i) s.pixels.push_back(static_cast<uint8_t>(i));
  const auto bmp = convert(make_tim(s));
  EXPECT_EQ(pixel(bmp, 0, 0), (Bgr{2, 1, 0}));
  EXPECT_EQ(pixel(bmp, 0, 1), (Bgr{8, 7, 6}));  // bytes 6-8, not 8-10
  EXPECT_EQ(pixel(bmp, 1, 1), (Bgr{11, 10, 9}));
}

TEST(BuildBmp, PixelsMayLieBeyondTheImageBlock) {
  TimLayout s{.flags = 0x02, .w = 2, .h = 1};
  s.image_len = 12;  // the block claims no pixels
  s.pixels = {0x1F, 0x00, 0xE0, 0x03};
  const auto bmp = convert(make_tim(s));
  EXPECT_EQ(pixel(bmp, 1, 0), (Bgr{0, 248, 0}));
}

TEST(BuildBmp, Refusals) {
  TimLayout mixed{
      .flags = 0x0C, .clut_w = 256, .w = 1, .h = 1, .pixels = {1, 2}};
  TimLayout short_data{.flags = 0x02, .w = 4, .h = 4};
  short_data.pixels.assign(31, 0);  // one byte short of 16 pixels
  short_data.image_len = 20;
  TimLayout huge;  // claims 65535 x 65535 pixels in a few bytes
  huge.flags = 0x02;
  huge.w = 65535;
  huge.h = 65535;
  huge.image_len = 12;
  const std::pair<TimLayout, BmpStatus> cases[] = {
      {mixed, BmpStatus::kUnsupported},
      {short_data, BmpStatus::kTruncated},
      {huge, BmpStatus::kTruncated}};
  for (const auto& [layout, want] : cases) {
    const Bytes tim = make_tim(layout);
    const auto r = examine_offset(tim, 0, -1);
    ASSERT_TRUE(r);
    std::vector<uint8_t> out;
    EXPECT_EQ(build_bmp(r->info, out), want);
    EXPECT_TRUE(out.empty());
  }
}

TEST(ClutColour, EmptyClutStaysInsideTheData) {
  // A CLUT with no rows: entries come from the bytes after the block while
  // they last, and are black beyond the data.
  TimLayout s{.flags = 0x08,
              .clut_len = 12,
              .clut_h = 0,
              .w = 1,
              .h = 1,
              .pixels = {0, 0}};
  const Bytes tim = make_tim(s);
  const auto r = examine_offset(tim, 0, -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(clut_colour(r->info, 255), (Bgr{0, 0, 0}));
  // Entry 0 is the image block's length field (14 = 0x000E).
  EXPECT_EQ(clut_colour(r->info, 0), split_colour(14));
  EXPECT_EQ(clut_colour(r->info, 256), clut_colour(r->info, 0));
}

TEST(BuildBmp, NoClutBlockGivesAGreyRamp) {
  // 4-bit index i is grey 17 * i (low nibble first), 8-bit index i grey i.
  const std::pair<TimLayout, std::vector<uint8_t>> cases[] = {
      {{.flags = 0x00, .w = 1, .h = 1, .pixels = {0x10, 0xF2}},
       {0, 17, 34, 255}},
      {{.flags = 0x01, .w = 2, .h = 1, .pixels = {0, 1, 200, 255}},
       {0, 1, 200, 255}},
  };
  for (const auto& [layout, greys] : cases) {
    const Bytes tim = make_tim(layout);
    const auto r = examine_offset(tim, 0, {.looseflags = true});
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->info.clut_block.empty());
    std::vector<uint8_t> bmp;
    ASSERT_EQ(build_bmp(r->info, bmp), BmpStatus::kBuilt);
    for (int x = 0; x < 4; ++x) {
      const uint8_t g = greys[static_cast<std::size_t>(x)];
      EXPECT_EQ(pixel(bmp, x, 0), (Bgr{g, g, g})) << x;
    }
  }
}

}  // namespace
}  // namespace vexlo
