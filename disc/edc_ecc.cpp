#include "disc/edc_ecc.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "disc/disc_image.h"

namespace vexlo {

namespace {

// Eight tables: t[k][i] is the CRC of byte i followed by k zero bytes, so
// that eight bytes are taken a step (whole images are checked at once).
using EdcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr EdcTables make_edc_tables() {
  EdcTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v = i;
    for (int k = 0; k < 8; ++k) v = (v >> 1) ^ ((v & 1) ? 0xD8018001u : 0u);
    t[0][i] = v;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i)
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}
constexpr EdcTables kEdc = make_edc_tables();

// GF(2^8) with x^8+x^4+x^3+x^2+1: f[i] is i times alpha, b[i ^ f[i]] is
// i, which is i divided by (1 + alpha).
struct GfTables {
  std::array<uint8_t, 256> f{};
  std::array<uint8_t, 256> b{};
};
constexpr GfTables make_gf() {
  GfTables g;
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t j = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
    g.f[i] = static_cast<uint8_t>(j);
    g.b[i ^ j] = static_cast<uint8_t>(i);
  }
  return g;
}
constexpr GfTables kGf = make_gf();

// One parity kind over the 2340 bytes from the header on: `majors`
// codewords of `minors` bytes each, the codeword starting at byte
// (major / 2) * major_step + (major & 1) and stepping by `minor_step`
// (modulo the covered size); its two parity bytes go to parity[major] and
// parity[major + majors]. The codewords advance side by side, a byte of each
// a step: their chains do not wait on each other.
template <int majors, int minors, int major_step, int minor_step>
void parity(const uint8_t* from, uint8_t* out) {
  constexpr int size = majors * minors;
  uint8_t a[majors] = {}, b[majors] = {};
  int at[majors];
  for (int major = 0; major < majors; ++major)
    at[major] = (major >> 1) * major_step + (major & 1);
  for (int minor = 0; minor < minors; ++minor) {
    if constexpr (major_step == 2 && minor_step == majors) {
      // P: codeword `major` is column `major` of rows of `majors` bytes.
      const uint8_t* row = from + minor * majors;
      for (int major = 0; major < majors; ++major) {
        a[major] = kGf.f[a[major] ^ row[major]];
        b[major] ^= row[major];
      }
      continue;
    }
    for (int major = 0; major < majors; ++major) {
      const uint8_t v = from[at[major]];
      a[major] = kGf.f[a[major] ^ v];
      b[major] ^= v;
      at[major] += minor_step;
      if (at[major] >= size) at[major] -= size;
    }
  }
  for (int major = 0; major < majors; ++major) {
    const uint8_t p = kGf.b[kGf.f[a[major]] ^ b[major]];
    out[major] = p;
    out[major + majors] = p ^ b[major];
  }
}

void put_u32le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint32_t sector_edc(std::span<const uint8_t> bytes, uint32_t edc) {
  const uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; n -= 8, p += 8) {
    const uint32_t lo = edc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 |
                               uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    edc = kEdc[7][lo & 0xFF] ^ kEdc[6][(lo >> 8) & 0xFF] ^
          kEdc[5][(lo >> 16) & 0xFF] ^ kEdc[4][lo >> 24] ^ kEdc[3][p[4]] ^
          kEdc[2][p[5]] ^ kEdc[1][p[6]] ^ kEdc[0][p[7]];
  }
  for (; n > 0; --n, ++p) edc = (edc >> 8) ^ kEdc[0][(edc ^ *p) & 0xFF];
  return edc;
}

bool rebuild_edc_ecc(std::span<uint8_t> sector) {
  const std::size_t start = sector_data_start(sector);
  if (start == 0) return false;
  uint8_t* s = sector.data();
  uint8_t header[4];
  std::memcpy(header, s + 12, 4);
  if (start == 16) {
    put_u32le(s + 2064, sector_edc(sector.first(2064)));
    std::memset(s + 2068, 0, 8);
  } else {
    put_u32le(s + 2072, sector_edc(sector.subspan(16, 2056)));
    std::memset(s + 12, 0, 4);
  }
  write_sector_ecc(sector);
  std::memcpy(s + 12, header, 4);
  return true;
}

bool rebuild_sector_codes(std::span<uint8_t> sector, SectorFormat format) {
  if (format != SectorFormat::k2336) return rebuild_edc_ecc(sector);
  if (sector.size() < 2336) return false;
  uint8_t whole[kRawSectorSize] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                                   0,    0,    0,    2};
  std::copy_n(sector.begin(), 2336, whole + 16);
  if (!rebuild_edc_ecc(whole)) return false;
  std::copy_n(whole + 16, 2336, sector.begin());
  return true;
}

void write_sector_ecc(std::span<uint8_t> sector) {
  uint8_t* s = sector.data();
  parity<86, 24, 2, 86>(s + 12, s + 2076);
  parity<52, 43, 86, 88>(s + 12, s + 2248);
}

}  // namespace vexlo
