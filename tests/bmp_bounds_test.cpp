// Bitmaps whose file size would not fit the header's 32-bit field. The
// pixel data really is there (an untouched mapping of zero pages), so only
// the size check can refuse them, before anything is allocated.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <vector>

#include "convert/bmp.h"

namespace vexlo {
namespace {

struct Oversize {
  int32_t mode, bpp, width, height;
};

TEST(BuildBmp, FileSizeBeyond32BitsIsRefusedWithoutAllocating) {
  // The largest case needs 43690 * 32768 * 3 bytes of pixels.
  const std::size_t span_bytes = (std::size_t{4400} << 20);
  void* p = ::mmap(nullptr, span_bytes, PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "no address space for the mapping";
  const Oversize cases[] = {
      {0, 4, 65532, 21847},  // rows of 196596 bytes: 54 + S just over 2^32
      {1, 8, 65534, 21846},
      {2, 15, 65535, 21846},
      {3, 24, 43690, 32768},  // 131072 * 32768 is exactly 2^32
  };
  for (const Oversize& c : cases) {
    SCOPED_TRACE(c.bpp);
    TimInfo info;
    info.mode = c.mode;
    info.bits_per_pixel = c.bpp;
    info.width = c.width;
    info.height = c.height;
    info.image_block = {static_cast<const uint8_t*>(p), span_bytes};
    std::vector<uint8_t> out;
    EXPECT_EQ(build_bmp(info, out), BmpStatus::kTooLarge);
    EXPECT_TRUE(out.empty());
  }
  ::munmap(p, span_bytes);
}

}  // namespace
}  // namespace vexlo
