// Repeats: TIM keys and the table of first numbers.
#include "extract/repeats.h"

#include <gtest/gtest.h>

#include "tests/tim_builder.h"

namespace vexlo::test {
namespace {

TEST(Repeats, KeysTellBytesApart) {
  const Bytes a = tim_4bit_32x16();
  Bytes b = a;
  b.back() ^= 1;
  Bytes longer = a;
  longer.push_back(0);
  EXPECT_EQ(tim_key(a), tim_key(Bytes(a)));
  EXPECT_FALSE(tim_key(a) == tim_key(b));
  EXPECT_FALSE(tim_key(a) == tim_key(longer));
  EXPECT_EQ(tim_key(longer).size, a.size() + 1);
}

TEST(Repeats, TableKeepsTheFirstNumberInBoundedMemory) {
  RepeatTable table;
  EXPECT_EQ(table.find(tim_key(Bytes{1})), 0);
  constexpr int32_t kCount = 100000;
  for (int32_t i = 1; i <= kCount; ++i) {
    const Bytes b = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                     static_cast<uint8_t>(i >> 16)};
    table.add(tim_key(b), i);
    table.add(tim_key(b), i + kCount);  // a repeat keeps the first
    // Checked as it grows, where slack is largest.
    ASSERT_LE(table.bytes(), 32 * table.size() + 512) << i;
  }
  EXPECT_EQ(table.size(), std::size_t{kCount});
  for (int32_t i = 1; i <= kCount; ++i) {
    const Bytes b = {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8),
                     static_cast<uint8_t>(i >> 16)};
    ASSERT_EQ(table.find(tim_key(b)), i);
  }
}

}  // namespace
}  // namespace vexlo::test
