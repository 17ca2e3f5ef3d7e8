// Repeats: TIM keys and the table of first numbers.
#include "extract/repeats.h"

#include <gtest/gtest.h>

#include "tests/tim_builder.h"

namespace vexlo::test {
namespace {

TEST(Repeats, TableKeepsTheFirstNumberInBoundedMemory) {
  RepeatTable table;
  constexpr int32_t kCount = 100000;
  // TIM i + kCount is TIM i with one more byte: another TIM.
  auto bytes = [](int32_t i) {
    const int32_t j = i > kCount ? i - kCount : i;
    Bytes b = {static_cast<uint8_t>(j), static_cast<uint8_t>(j >> 8),
               static_cast<uint8_t>(j >> 16)};
    if (i > kCount) b.push_back(0);
    return b;
  };
  for (int32_t i = 1; i <= 2 * kCount; ++i) {
    table.add(tim_key(bytes(i)), i);
    table.add(tim_key(bytes(i)), -1);  // a repeat keeps the first
    ASSERT_LE(table.bytes(), 32 * table.size() + 512) << i;
  }
  for (int32_t i = 1; i <= 2 * kCount; i += 97)
    ASSERT_EQ(table.find(tim_key(bytes(i))), i);
  EXPECT_EQ(table.find(tim_key(Bytes(3, 0xEE))), 0);
}

}  // namespace
}  // namespace vexlo::test
