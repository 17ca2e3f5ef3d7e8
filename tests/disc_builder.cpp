#include "tests/disc_builder.h"

#include <algorithm>

#include "disc/edc_ecc.h"

namespace vexlo::test {

void Disc::add(Sector kind, const Bytes& payload, std::size_t* at) {
  const std::size_t start = image.size();
  Bytes s(2352, 0x5A);  // filler where EDC/ECC would be
  auto take = [&](std::size_t into, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
      s[into + i] = *at + i < payload.size() ? payload[*at + i] : 0;
  };
  if (kind != Sector::kAudio) {
    std::fill(s.begin(), s.begin() + 12, 0xFF);
    s[0] = s[11] = 0;
    const std::size_t n = start / 2352;  // binary, not BCD, as real images
    s[12] = static_cast<uint8_t>(n >> 16);
    s[13] = static_cast<uint8_t>(n >> 8);
    s[14] = static_cast<uint8_t>(n);
    s[15] = kind == Sector::kMode1 ? 1 : kind == Sector::kMode0 ? 0 : 2;
    const uint8_t submode = kind == Sector::kForm2 ? 0x20 : 0x08;
    if (kind == Sector::kForm1 || kind == Sector::kForm2)
      for (int copy = 0; copy < 2; ++copy) {
        std::fill(s.begin() + 16 + 4 * copy, s.begin() + 20 + 4 * copy, 0);
        s[18 + 4 * copy] = submode;
      }
  }
  switch (kind) {
    case Sector::kForm1:
    case Sector::kMode1: {
      const std::size_t data = kind == Sector::kMode1 ? 16 : 24;
      take(data, 2048);
      for (std::size_t i = 0; i < 2048; ++i) raw.push_back(start + data + i);
      *at += 2048;
      break;
    }
    case Sector::kForm2:
      take(24, 2324);
      break;
    case Sector::kAudio:
      take(0, 2352);
      break;
    case Sector::kMode0:
      take(16, 2048);
      break;
  }
  image.insert(image.end(), s.begin(), s.end());
}

void set_form1_edc(Bytes& image) {
  for (std::size_t at = 0; at + 2352 <= image.size(); at += 2352) {
    uint8_t* s = image.data() + at;
    if (s[15] != 2 || (s[18] & 0x20) != 0) continue;
    uint32_t edc = 0;  // CRC-32, 0xD8018001 reflected, bit by bit
    for (std::size_t i = 16; i < 2072; ++i) {
      edc ^= s[i];
      for (int b = 0; b < 8; ++b)
        edc = (edc >> 1) ^ (edc & 1 ? 0xD8018001u : 0);
    }
    for (int i = 0; i < 4; ++i)
      s[2072 + i] = static_cast<uint8_t>(edc >> (8 * i));
  }
}

void set_sector_codes(Bytes& image, std::size_t every) {
  for (std::size_t at = 0; at + 2352 <= image.size(); at += 2352 * every) {
    const std::span<uint8_t> s(image.data() + at, 2352);
    const bool sync =
        s[0] == 0 && s[11] == 0 &&
        std::all_of(&s[1], &s[11], [](uint8_t b) { return b == 0xFF; });
    if (!sync || rebuild_edc_ecc(s) || s[15] != 2 || (s[18] & 0x20) == 0)
      continue;
    const uint32_t edc = sector_edc(s.subspan(16, 2332));
    for (int i = 0; i < 4; ++i)
      s[2348 + i] = static_cast<uint8_t>(edc >> (8 * i));
  }
}

Bytes resize_sectors(const Bytes& image, std::size_t size, uint8_t sub) {
  Bytes out;
  for (std::size_t at = 0; at + 2352 <= image.size(); at += 2352) {
    const auto s = image.begin() + static_cast<std::ptrdiff_t>(at);
    out.insert(out.end(), s + (size == 2336 ? 16 : 0), s + 2352);
    if (size == 2448) out.insert(out.end(), 96, sub);
  }
  return out;
}

Disc wrap_stream(const Bytes& stream, std::size_t tail) {
  Disc d;
  std::size_t at = 0;
  for (int n = 0; at < stream.size(); ++n) {
    d.add(n % 3 == 2 ? Sector::kMode1 : Sector::kForm1, stream, &at);
    if (n >= 4 && n % 5 == 0)
      for (Sector k : {Sector::kForm2, Sector::kAudio, Sector::kMode0})
        d.add(k, stream, &at);
  }
  // A part-sector tail that starts like a sector and holds stream bytes.
  std::size_t from = 0;
  Disc t;
  t.add(Sector::kForm1, stream, &from);
  d.image.insert(d.image.end(), t.image.begin(),
                 t.image.begin() + static_cast<std::ptrdiff_t>(tail));
  return d;
}

}  // namespace vexlo::test
