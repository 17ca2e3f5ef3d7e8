// The picture readers and the picture-to-TIM rules on arbitrary files: the
// expected size is the one the file claims (when small), so that decoding
// and applying really run.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "convert/picture.h"
#include "fuzz/check.h"
#include "reinsert/to_tim.h"
#include "tim/tim.h"

namespace {

uint32_t claimed(const uint8_t* data, std::size_t size, std::size_t at,
                 bool big_endian) {
  if (size < at + 4) return 1;
  const uint8_t* p = data + at;
  const uint32_t v =
      big_endian ? (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3]
                 : p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
  // BMP heights may be negative (top-down).
  const uint32_t magnitude = !big_endian && (v >> 31) ? 0u - v : v;
  return magnitude >= 1 && magnitude <= 256 ? magnitude : 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const bool png = size > 0 && data[0] == 0x89;
  const uint32_t w = claimed(data, size, png ? 16 : 18, png);
  const uint32_t h = claimed(data, size, png ? 20 : 22, png);
  vexlo::Picture pic;
  if (!vexlo::read_picture({data, size}, w, h, pic).empty()) return 0;
  FUZZ_CHECK(pic.width == w && pic.height == h);
  FUZZ_CHECK(pic.pixels.size() == std::size_t{w} * h);
  FUZZ_CHECK(!pic.indexed || pic.index.size() == pic.pixels.size());
  // An 8-bit TIM of that size (w even so that the header holds it) takes
  // the picture without changing its length or headers.
  if (w % 2 != 0) return 0;
  std::vector<uint8_t> tim = {0x10, 0, 0, 0, 9, 0, 0, 0};
  const uint32_t clut_len = 12 + 512, image_len = 12 + w * h;
  auto put = [&](uint32_t v, int n) {
    for (int i = 0; i < n; ++i)
      tim.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put(clut_len, 4);
  put(0, 4);
  put(256, 2);
  put(1, 2);
  for (int k = 0; k < 256; ++k) put(k * 0x0101u, 2);
  put(image_len, 4);
  put(0, 4);
  put(w / 2, 2);
  put(h, 2);
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) put(i % 7, 1);
  const std::vector<uint8_t> before = tim;
  for (bool keep : {false, true}) {
    std::vector<uint8_t> t = before;
    vexlo::apply_picture(t, pic, 0, vexlo::Target::kPng, keep, "f");
    FUZZ_CHECK(t.size() == before.size());
    FUZZ_CHECK(std::equal(t.begin(), t.begin() + 20, before.begin()));
  }
  return 0;
}
