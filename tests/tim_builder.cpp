#include "tests/tim_builder.h"

namespace vexlo::test {

void put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& b, uint32_t v) {
  put16(b, v & 0xFFFF);
  put16(b, v >> 16);
}

Bytes make_tim(const TimLayout& s) {
  Bytes b;
  put32(b, 0x10);
  put32(b, s.flags);
  if (s.flags & 8) {
    const uint32_t len =
        s.clut_len ? s.clut_len
                   : 12 + 2 * static_cast<uint32_t>(s.clut_w) * s.clut_h;
    put32(b, len);
    put16(b, 0);
    put16(b, 480);
    put16(b, s.clut_w);
    put16(b, s.clut_h);
    for (uint32_t i = 0; 12 + 2 * i < len; ++i)
      put16(b, i < s.clut.size() ? s.clut[i] : 0);
  }
  put32(b, s.image_len ? s.image_len
                       : 12 + static_cast<uint32_t>(s.pixels.size()));
  put16(b, 0);
  put16(b, 0);
  put16(b, s.w);
  put16(b, s.h);
  b.insert(b.end(), s.pixels.begin(), s.pixels.end());
  return b;
}

Bytes tim_4bit_32x16() {
  TimLayout s;
  s.flags = 0x08;
  for (uint16_t i = 0; i < 16; ++i)
    s.clut.push_back(static_cast<uint16_t>(i * 0x0421));
  s.w = 8;
  s.h = 16;
  for (int i = 0; i < 256; ++i) s.pixels.push_back(static_cast<uint8_t>(i));
  return make_tim(s);
}

Bytes embed(const Bytes& tim, std::size_t pad, std::size_t tail, uint8_t fill) {
  Bytes b(pad, fill);
  b.insert(b.end(), tim.begin(), tim.end());
  b.insert(b.end(), tail, fill);
  return b;
}

}  // namespace vexlo::test
