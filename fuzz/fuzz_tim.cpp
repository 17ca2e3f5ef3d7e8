// Arbitrary bytes as a loaded file: every offset through examine_offset, with
// and without looseflags and strict, and every accepted TIM through the
// bitmap and PNG encoders and the catalogue's record, in memory only.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "convert/bmp.h"
#include "convert/pixels.h"
#include "convert/png.h"
#include "extract/extract.h"
#include "fuzz/check.h"
#include "tim/tim.h"

namespace {

using vexlo::read_u16le;
using vexlo::read_u32le;

bool inside(std::span<const uint8_t> part, std::span<const uint8_t> whole) {
  return part.data() >= whole.data() &&
         part.data() + part.size() == whole.data() + whole.size();
}

// Pixel data bytes, worked out from bits per stored pixel (15-bit pixels
// take 16) rather than the converter's own per-mode table.
uint64_t pixel_bytes(int32_t bpp, uint64_t pixels) {
  const uint64_t bits = bpp == 15 ? 16 : static_cast<uint64_t>(bpp);
  return (pixels * bits + 7) / 8;
}

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         p[3];
}

// The PNG of one CLUT row: well-framed chunks with good CRCs, and IDAT data
// that inflates to exactly one filter byte plus one row per picture row.
void check_png(const vexlo::TimInfo& info, int32_t row) {
  std::vector<uint8_t> png;
  FUZZ_CHECK(vexlo::encode_png(info, row, vexlo::kPngLevel,
                               [&png](std::span<const uint8_t> b) {
                                 png.insert(png.end(), b.begin(), b.end());
                                 return true;
                               }));
  FUZZ_CHECK(png.size() > 8 && png[0] == 0x89 && png[1] == 'P');
  const uint64_t w = static_cast<uint64_t>(info.width);
  const uint64_t bits = info.bits_per_pixel <= 8    ? info.bits_per_pixel
                        : info.bits_per_pixel == 15 ? 32
                                                    : 24;
  const uint64_t want =
      static_cast<uint64_t>(info.height) * (1 + (w * bits + 7) / 8);
  std::vector<uint8_t> idat;
  bool ended = false;
  for (std::size_t at = 8; at < png.size();) {
    FUZZ_CHECK(!ended && png.size() - at >= 12);
    const uint32_t len = be32(&png[at]);
    FUZZ_CHECK(png.size() - at - 12 >= len);
    const uint8_t* type = &png[at + 4];
    FUZZ_CHECK(crc32(0, type, len + 4) == be32(type + 4 + len));
    if (std::memcmp(type, "IHDR", 4) == 0)
      FUZZ_CHECK(be32(type + 4) == w &&
                 be32(type + 8) == uint32_t(info.height));
    if (std::memcmp(type, "IDAT", 4) == 0)
      idat.insert(idat.end(), type + 4, type + 4 + len);
    ended = std::memcmp(type, "IEND", 4) == 0;
    at += 12 + len;
  }
  FUZZ_CHECK(ended);
  std::vector<uint8_t> raw(static_cast<std::size_t>(want) + 1);
  uLongf got = static_cast<uLongf>(raw.size());
  FUZZ_CHECK(uncompress(raw.data(), &got, idat.data(), idat.size()) == Z_OK);
  FUZZ_CHECK(got == want);
}

void check_accepted(std::span<const uint8_t> data, std::size_t off,
                    const vexlo::Examined& e, bool loose) {
  const vexlo::TimInfo& info = e.info;
  const uint8_t* tim = data.data() + off;
  FUZZ_CHECK(loose || vexlo::tim_header_candidate(tim));
  FUZZ_CHECK(read_u32le(tim) == 0x10);
  FUZZ_CHECK(info.mode == (tim[4] & 7) && info.mode <= 4);
  static const int32_t kBpp[5] = {4, 8, 15, 24, 8};
  FUZZ_CHECK(info.bits_per_pixel == kBpp[info.mode]);
  FUZZ_CHECK(info.width >= 1 && info.width <= 65535);
  FUZZ_CHECK(info.height >= 1 && info.height <= 65535);
  FUZZ_CHECK(e.total <= data.size() - off);

  // The views run from their block to the end of the data, and both block
  // headers lie inside it.
  const bool has_clut = (tim[4] & 8) != 0;
  FUZZ_CHECK(has_clut == !info.clut_block.empty());
  if (has_clut) {
    FUZZ_CHECK(info.clut_block.data() == tim + 8);
    FUZZ_CHECK(inside(info.clut_block, data));
    FUZZ_CHECK(info.clut_block.size() >= vexlo::kBlockHeaderSize);
  }
  FUZZ_CHECK(inside(info.image_block, data));
  FUZZ_CHECK(info.image_block.size() >= vexlo::kBlockHeaderSize);
  const uint64_t clut_len = has_clut ? read_u32le(tim + 8) : 0;
  FUZZ_CHECK(info.image_block.data() == tim + 8 + clut_len);
  FUZZ_CHECK(static_cast<uint32_t>(8 + clut_len +
                                   read_u32le(info.image_block.data())) ==
             e.total);
  FUZZ_CHECK(read_u16le(info.image_block.data() + 10) == info.height);

  // The same offset with the mode's own filter is the same TIM; any other
  // filter rejects it.
  const auto same = vexlo::examine_offset(
      data, off, {.typefilter = info.mode, .looseflags = loose});
  FUZZ_CHECK(same && same->total == e.total && same->info.width == info.width);
  FUZZ_CHECK(!vexlo::examine_offset(
      data, off, {.typefilter = (info.mode + 1) % 5, .looseflags = loose}));
  // Without a CLUT block a 4-bit or 8-bit TIM has an exact image length.
  if (!has_clut && info.bits_per_pixel <= 8)
    FUZZ_CHECK(read_u32le(info.image_block.data()) ==
               12 + 2 * uint64_t{read_u16le(info.image_block.data() + 8)} *
                        info.height);

  for (int k : {0, 15, 255, 256, -1}) (void)vexlo::clut_colour(info, k);

  // The catalogue's record: every field a plain number or name, so the row
  // has exactly 26 fields and no quotes.
  vexlo::TimHit hit;
  hit.found = e;
  hit.bytes = data.subspan(off, e.total);
  hit.place.offset = static_cast<uint32_t>(off);
  const vexlo::CatalogueEntry entry = vexlo::catalogue_entry(hit, 1);
  FUZZ_CHECK(entry.clut_x.has_value() == has_clut);
  FUZZ_CHECK(has_clut || entry.palettes == 0);
  const std::string csv = vexlo::csv_row(entry);
  FUZZ_CHECK(std::count(csv.begin(), csv.end(), ',') == 25);
  FUZZ_CHECK(csv.find('"') == std::string::npos);

  std::vector<uint8_t> bmp;
  const vexlo::BmpStatus st = vexlo::build_bmp(info, bmp);
  const uint64_t w = static_cast<uint64_t>(info.width);
  const uint64_t h = static_cast<uint64_t>(info.height);
  const bool fits = info.image_block.size() - vexlo::kBlockHeaderSize >=
                    pixel_bytes(info.bits_per_pixel, w * h);
  if (info.mode == 4) {
    FUZZ_CHECK(st == vexlo::BmpStatus::kUnsupported);
    return;
  }
  if (!fits) {
    FUZZ_CHECK(st == vexlo::BmpStatus::kTruncated);
    return;
  }
  // Pixels that fit in a small input always make a bitmap well below 4 GiB.
  FUZZ_CHECK(st == vexlo::BmpStatus::kBuilt);
  const uint64_t row = (w * 3 + 3) / 4 * 4;
  FUZZ_CHECK(bmp.size() == vexlo::kBmpHeaderSize + row * h);
  FUZZ_CHECK(bmp[0] == 'B' && bmp[1] == 'M');
  FUZZ_CHECK(read_u32le(bmp.data() + 2) == bmp.size());
  FUZZ_CHECK(read_u32le(bmp.data() + 18) == w);
  FUZZ_CHECK(read_u32le(bmp.data() + 22) == h);
  FUZZ_CHECK(read_u32le(bmp.data() + 34) == row * h);
  // Row padding stays zero.
  for (uint64_t y = 0; y < h; ++y)
    for (uint64_t x = w * 3; x < row; ++x)
      FUZZ_CHECK(bmp[vexlo::kBmpHeaderSize + y * row + x] == 0);

  FUZZ_CHECK(vexlo::check_pixels(info) == vexlo::PixelStatus::kOk);
  check_png(info, 0);
  const int32_t rows = vexlo::clut_rows(info);
  if (rows > 1) check_png(info, rows - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  // A private copy of exactly `size` bytes, so that ASan sees any read past
  // the end of the loaded data.
  const std::vector<uint8_t> copy(bytes, bytes + size);
  const std::span<const uint8_t> data(copy);
  for (std::size_t off = 0; off < size; ++off) {
    const auto e = vexlo::examine_offset(data, off, -1);
    if (e) check_accepted(data, off, *e, false);
    const auto loose = vexlo::examine_offset(data, off, {.looseflags = true});
    if (loose) check_accepted(data, off, *loose, true);
    // looseflags only adds TIMs; strict keeps exactly the consistent ones.
    FUZZ_CHECK(!e || (loose && loose->total == e->total));
    for (const auto* base : {&e, &loose}) {
      const auto strict = vexlo::examine_offset(
          data, off, {.looseflags = base == &loose, .strict = true});
      FUZZ_CHECK(
          strict.has_value() ==
          (base->has_value() && vexlo::blocks_consistent((*base)->info)));
    }
  }
  return 0;
}
