#include "platform/aligned_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vexlo {
namespace {

uintptr_t address(const AlignedBuffer& b) {
  return reinterpret_cast<uintptr_t>(b.data());
}

// Copies out of the page cache must land on the source's alignment: every
// size gets at least 64 bytes, a page and more a whole page, and the whole
// size can be written.
TEST(AlignedBufferTest, EverySizeIsAlignedAndWritable) {
  struct Case {
    std::size_t size;
    uintptr_t align;
  };
  const Case cases[] = {{1, 64},
                        {63, 64},
                        {64, 64},
                        {4095, 64},
                        {4096, 4096},
                        {19584, 4096},
                        {131072 + 19, 4096},
                        {std::size_t{3} << 20, 4096}};
  for (const Case& c : cases) {
    AlignedBuffer b(c.size);
    ASSERT_EQ(b.size(), c.size);
    EXPECT_EQ(address(b) % c.align, 0u) << c.size;
    std::memset(b.data(), 0xA5, b.size());
    EXPECT_EQ(b.span().back(), 0xA5) << c.size;
  }
}

// A buffer reused for files of many sizes keeps its memory when it shrinks,
// grows to a fresh aligned block, and hands its memory over when moved.
TEST(AlignedBufferTest, ReuseKeepsMemoryAndMovesHandItOver) {
  AlignedBuffer b(100);
  const uint8_t* first = b.data();
  b.resize(10);
  EXPECT_EQ(b.data(), first) << "shrinking keeps the block";
  EXPECT_EQ(b.size(), 10u);
  b.resize(70000);
  EXPECT_EQ(address(b) % AlignedBuffer::kPage, 0u);
  EXPECT_FALSE(b.try_resize(SIZE_MAX)) << "an impossible size fails";
  EXPECT_EQ(b.size(), 70000u) << "and changes nothing";
  AlignedBuffer moved = std::move(b);
  EXPECT_EQ(moved.size(), 70000u);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.data(), nullptr);
}

}  // namespace
}  // namespace vexlo
