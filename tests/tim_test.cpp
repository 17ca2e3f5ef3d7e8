#include "tim/tim.h"

#include <gtest/gtest.h>

#include "tests/tim_builder.h"

namespace vexlo {
namespace {

using test::Bytes;
using test::make_tim;
using test::TimLayout;

TimLayout four_bit() {
  TimLayout s{.flags = 0x08, .w = 8, .h = 16, .pixels = Bytes(256, 0)};
  return s;
}

TimLayout eight_bit(uint32_t flags = 0x09) {
  TimLayout s{
      .flags = flags, .clut_w = 256, .w = 4, .h = 2, .pixels = Bytes(16, 0)};
  return s;
}

TimLayout direct(uint32_t flags, uint16_t w, uint16_t h, std::size_t bytes) {
  TimLayout s{.flags = flags, .w = w, .h = h, .pixels = Bytes(bytes, 0)};
  return s;
}

TEST(ExamineOffset, TheWorkedExample) {
  const Bytes tim = make_tim(four_bit());
  ASSERT_EQ(tim.size(), 320u);
  const auto r = examine_offset(tim, 0, -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->total, 320u);
  EXPECT_EQ(r->info.mode, 0);
  EXPECT_EQ(r->info.bits_per_pixel, 4);
  EXPECT_EQ(r->info.width, 32);
  EXPECT_EQ(r->info.height, 16);
  EXPECT_FALSE(r->multi_clut);
  EXPECT_EQ(r->info.clut_block.data(), tim.data() + 8);
  EXPECT_EQ(r->info.image_block.data(), tim.data() + 52);
  EXPECT_EQ(r->info.image_block.size(), tim.size() - 52);
}

struct Case {
  const char* what;
  TimLayout layout;
  bool accepted;
  int width = 0;
  int bpp = 0;
  bool multi = false;
};

TimLayout with(TimLayout s, auto change) {
  change(s);
  return s;
}

TEST(ExamineOffset, RecognitionTable) {
  const Case cases[] = {
      {"flags bits 4-7 are not examined",
       with(four_bit(), [](TimLayout& s) { s.flags = 0x18; }), true, 32, 4},
      {"flags byte 5 not zero",
       with(four_bit(), [](TimLayout& s) { s.flags = 0x108; }), false},
      {"flags byte 7 not zero",
       with(four_bit(), [](TimLayout& s) { s.flags = 0x01000008; }), false},
      {"flags byte 0", with(four_bit(), [](TimLayout& s) { s.flags = 0; }),
       false},
      {"only bits 4-7 set",
       with(four_bit(), [](TimLayout& s) { s.flags = 0x10; }), false},
      {"modes 5-7 do not exist",
       with(four_bit(), [](TimLayout& s) { s.flags = 0x0D; }), false},
      {"4-bit needs the CLUT bit", direct(0x00 | 0x10, 4, 4, 32), false},
      {"15-bit", direct(0x02, 3, 2, 12), true, 3, 15},
      {"15-bit with the CLUT bit", direct(0x0A, 3, 2, 12), false},
      {"24-bit w 96 gives 64", direct(0x03, 96, 1, 192), true, 64, 24},
      {"24-bit w 1 gives width 0", direct(0x03, 1, 1, 2), false},
      {"24-bit w above 32767 does not wrap", direct(0x03, 60000, 1, 0), true,
       40000, 24},
      {"24-bit with the CLUT bit", direct(0x0B, 3, 1, 6), false},
      {"8-bit", eight_bit(), true, 8, 8},
      {"8-bit without the CLUT bit", direct(0x01, 4, 2, 16), false},
      {"mixed mode is read as 8-bit", eight_bit(0x0C), true, 8, 8},
      {"4-bit w 16384 wraps to width 0",
       with(four_bit(), [](TimLayout& s) { s.w = 16384; }), false},
      {"4-bit w 16385 wraps to width 4",
       with(four_bit(), [](TimLayout& s) { s.w = 16385; }), true, 4, 4},
      {"height 0", with(four_bit(), [](TimLayout& s) { s.h = 0; }), false},
      {"8-bit, two CLUT rows of 1036 bytes",
       with(eight_bit(), [](TimLayout& s) { s.clut_h = 2; }), true, 8, 8, true},
      {"8-bit, CLUT length 1000 fits no row count",
       with(eight_bit(),
            [](TimLayout& s) {
              s.clut_h = 2;
              s.clut_len = 1000;
            }),
       false},
      {"4-bit, three CLUT rows",
       with(four_bit(), [](TimLayout& s) { s.clut_h = 3; }), true, 32, 4, true},
      {"no CLUT rows, length 12",
       with(four_bit(),
            [](TimLayout& s) {
              s.clut_h = 0;
              s.clut_len = 12;
            }),
       true, 32, 4, true},
      {"image length below 12 is not checked",
       with(four_bit(), [](TimLayout& s) { s.image_len = 4; }), true, 32, 4},
  };
  for (const Case& c : cases) {
    const Bytes tim = make_tim(c.layout);
    const auto r = examine_offset(tim, 0, -1);
    ASSERT_EQ(r.has_value(), c.accepted) << c.what;
    if (!r) continue;
    EXPECT_EQ(r->info.width, c.width) << c.what;
    EXPECT_EQ(r->info.bits_per_pixel, c.bpp) << c.what;
    EXPECT_EQ(r->multi_clut, c.multi) << c.what;
  }
}

// The four settings of looseflags and strict, in the order of the `want`
// strings below: default, strict, looseflags, both.
const ExamineOptions kKeys[4] = {{},
                                 {.strict = true},
                                 {.looseflags = true},
                                 {.looseflags = true, .strict = true}};

// A 4-bit TIM whose image block is 65535 x 32769 units: 12 + 2 * w * h is
// 65546 in 32 bits, far more in 64.
TimLayout wrapped_length(uint32_t flags) {
  TimLayout s{.flags = flags,
              .image_len = 65546,
              .w = 65535,
              .h = 32769,
              .pixels = Bytes(65534, 0)};
  return s;
}

TEST(ExamineOffset, LooseflagsAndStrictTable) {
  struct KeyCase {
    const char* what;
    TimLayout layout;
    const char* want;  // '+' accepted, '-' rejected, per kKeys
    int width = 0;
    int bpp = 0;
  };
  const auto flags_word = [](uint32_t flags) {
    return [flags](TimLayout& s) { s.flags = flags; };
  };
  const KeyCase cases[] = {
      {"4-bit, lengths agree", four_bit(), "++++", 32, 4},
      {"8-bit, flags 0x0028F609", with(eight_bit(), flags_word(0x0028F609)),
       "--++", 8, 8},
      {"4-bit, upper flag bytes set", with(four_bit(), flags_word(0xFFFFFF08)),
       "--++", 32, 4},
      {"mixed, upper flag bytes set", with(eight_bit(), flags_word(0x0100000C)),
       "--++", 8, 8},
      {"15-bit, upper flag bytes set", direct(0x004353D2, 3, 2, 12), "--++", 3,
       15},
      {"24-bit, upper flag bytes set", direct(0x00010003, 96, 1, 192), "--++",
       64, 24},
      {"15-bit with the CLUT bit and upper bytes", direct(0x0100000A, 3, 2, 12),
       "----"},
      {"mode 5 with upper bytes", with(four_bit(), flags_word(0x0100000D)),
       "----"},
      {"image length 2 more",
       with(four_bit(),
            [](TimLayout& s) {
              s.image_len = 270;
              s.pixels.resize(258);
            }),
       "++++", 32, 4},
      {"image length 4 more",
       with(four_bit(),
            [](TimLayout& s) {
              s.image_len = 272;
              s.pixels.resize(260);
            }),
       "+-+-", 32, 4},
      {"image length short, as in a real font",
       with(four_bit(), [](TimLayout& s) { s.image_len = 28; }), "+-+-", 32, 4},
      {"image length right only in 32 bits", wrapped_length(0x08), "+-+-",
       65532, 4},
      {"CLUT of 256 x 1 entries in 44 bytes",
       with(four_bit(),
            [](TimLayout& s) {
              s.clut_w = 256;
              s.clut_len = 44;
            }),
       "+-+-", 32, 4},
      {"CLUT of 16 x 2 entries in 44 bytes",
       with(four_bit(),
            [](TimLayout& s) {
              s.clut_h = 2;
              s.clut_len = 44;
            }),
       "+-+-", 32, 4},
      {"three CLUT rows of 16",
       with(four_bit(), [](TimLayout& s) { s.clut_h = 3; }), "++++", 32, 4},
      {"4-bit without CLUT, flags 0x00", with(four_bit(), flags_word(0x00)),
       "--++", 32, 4},
      {"8-bit without CLUT, flags 0x01", direct(0x01, 4, 2, 16), "--++", 8, 8},
      {"without CLUT, only bits 4-7 and upper bytes",
       with(four_bit(), flags_word(0x12345610)), "--++", 32, 4},
      {"without CLUT, image length 2 more",
       with(four_bit(),
            [](TimLayout& s) {
              s.flags = 0;
              s.image_len = 270;
              s.pixels.resize(258);
            }),
       "----"},
      {"without CLUT, image length short",
       with(four_bit(),
            [](TimLayout& s) {
              s.flags = 0;
              s.image_len = 28;
            }),
       "----"},
      {"without CLUT, length right only in 32 bits", wrapped_length(0x00),
       "----"},
      {"mixed without CLUT", direct(0x04, 4, 2, 16), "----"},
  };
  for (const KeyCase& c : cases) {
    const Bytes tim = make_tim(c.layout);
    for (int k = 0; k < 4; ++k) {
      SCOPED_TRACE(testing::Message() << c.what << ", keys " << k);
      const auto r = examine_offset(tim, 0, kKeys[k]);
      ASSERT_EQ(r.has_value(), c.want[k] == '+');
      if (!r) continue;
      EXPECT_EQ(r->info.width, c.width);
      EXPECT_EQ(r->info.bits_per_pixel, c.bpp);
      EXPECT_EQ(r->info.clut_block.empty(), (c.layout.flags & 8) == 0);
      EXPECT_EQ(blocks_consistent(r->info), c.want[3] == '+');
    }
  }
}

TEST(ExamineOffset, NoPaletteTimsFollowTypefilter) {
  const Bytes tim = make_tim(direct(0x00, 8, 16, 256));
  EXPECT_TRUE(examine_offset(tim, 0, {.typefilter = 0, .looseflags = true}));
  EXPECT_FALSE(examine_offset(tim, 0, {.typefilter = 1, .looseflags = true}));
  // Block headers cut off: never consistent, never read past.
  TimInfo info;
  info.image_block = std::span(tim).first(11);
  EXPECT_FALSE(blocks_consistent(info));
}

TEST(ExamineOffset, EndOfData) {
  const Bytes tim = make_tim(four_bit());
  Bytes exact = test::embed(tim, 5, 0);
  EXPECT_TRUE(examine_offset(exact, 5, -1));
  // One byte short of the end the TIM claims.
  Bytes short_by_one(exact.begin(), exact.end() - 1);
  EXPECT_FALSE(examine_offset(short_by_one, 5, -1));
  // Headers cut off at every length: never accepted, never read past.
  for (std::size_t n = 1; n < 64; ++n) {
    Bytes cut(tim.begin(), tim.begin() + static_cast<long>(n));
    EXPECT_FALSE(examine_offset(cut, 0, -1)) << n;
  }
}

TEST(ExamineOffset, TotalWrapsAt32Bits) {
  // 8 + 44 + image length wraps to 36 when the image length is 2^32 - 16.
  TimLayout s = four_bit();
  s.image_len = 0xFFFFFFF0u;
  s.pixels.clear();
  const Bytes tim = make_tim(s);
  const auto r = examine_offset(tim, 0, -1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->total, 36u);
}

TEST(ExamineOffset, HugeClutLengthDoesNotWrapThePosition) {
  // h = 0xFFFF rows of 32 bytes; the image block would lie far beyond.
  TimLayout s = four_bit();
  s.clut_h = 0xFFFF;
  s.clut_len = 0xFFFFu * 32 + 12;
  Bytes tim;
  test::put32(tim, 0x10);
  test::put32(tim, 0x08);
  test::put32(tim, s.clut_len);
  test::put32(tim, 0);
  test::put16(tim, 16);
  test::put16(tim, 0xFFFF);
  tim.resize(4096, 0x10);
  EXPECT_FALSE(examine_offset(tim, 0, -1));
}

TEST(ExamineOffset, TypeFilter) {
  const Bytes mixed = make_tim(eight_bit(0x0C));
  const Bytes eight = make_tim(eight_bit());
  EXPECT_FALSE(examine_offset(mixed, 0, 1));  // mode 4 is not mode 1
  EXPECT_TRUE(examine_offset(eight, 0, 1));
  EXPECT_TRUE(examine_offset(mixed, 0, 4));
  EXPECT_FALSE(examine_offset(eight, 0, 0));
  EXPECT_FALSE(examine_offset(eight, 0, 7));  // outside 0-4: nothing
  EXPECT_STREQ(kModeNames[4], "Mixed");
}

}  // namespace
}  // namespace vexlo
