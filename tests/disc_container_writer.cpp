#include "tests/disc_container_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "disc/edc_ecc.h"

namespace vexlo::test {

namespace {

void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

const uint8_t kSync[12] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};

uint8_t to_bcd(uint32_t v) {
  return static_cast<uint8_t>(v / 10 * 16 + v % 10);
}

// The ECM type a 2352-byte sector can be stored as: its bytes are exactly
// what the decoder rebuilds from the parts kept.
int sector_type(const uint8_t* s) {
  if (std::memcmp(s, kSync, 12) != 0) return 0;
  Bytes t(s, s + 2352);
  if (s[15] == 1) {
    rebuild_edc_ecc(t);
    return std::equal(t.begin(), t.end(), s) ? 1 : 0;
  }
  if (s[15] != 2 || std::memcmp(s + 16, s + 20, 4) != 0) return 0;
  std::memset(t.data() + 12, 0, 4);
  put_u32(t.data() + 2072, sector_edc({t.data() + 16, 2056}));
  write_sector_ecc(t);
  if (std::equal(t.begin() + 16, t.end(), s + 16)) return 2;
  const uint32_t edc = sector_edc({s + 16, 2332});
  uint8_t want[4];
  put_u32(want, edc);
  return std::memcmp(want, s + 2348, 4) == 0 ? 3 : 0;
}

Bytes deflate_bytes(const uint8_t* p, std::size_t n) {
  z_stream z{};
  if (deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&z, static_cast<uLong>(n)));
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END)
    throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// One disc: its header (table of contents, block index) and blocks.
Bytes disc_bytes(const PbpDisc& d) {
  Bytes h(kBlocksAt, 0);
  std::memcpy(h.data(), "PSISOIMG0000", 12);
  std::memcpy(h.data() + 0x400, d.code.data(),
              std::min<std::size_t>(d.code.size(), 16));
  const uint32_t sectors = static_cast<uint32_t>(d.bin.size() / 2352);
  auto entry = [&](std::size_t i, uint8_t control, uint8_t point, uint32_t at) {
    uint8_t* e = h.data() + 0x800 + 10 * i;
    e[0] = control;
    e[2] = point;
    at += 150;
    e[7] = to_bcd(at / 75 / 60);
    e[8] = to_bcd(at / 75 % 60);
    e[9] = to_bcd(at % 75);
  };
  if (!d.tracks.empty()) {
    entry(0, 0x41, 0xA0, d.tracks.front().number * 75 * 60 - 150);
    entry(1, 0x41, 0xA1, d.tracks.back().number * 75 * 60 - 150);
    entry(2, 0x41, 0xA2, sectors);
    for (std::size_t i = 0; i < d.tracks.size(); ++i) {
      const TocTrack& t = d.tracks[i];
      entry(3 + i, t.data ? 0x41 : 0x01, to_bcd(t.number), t.start);
    }
  }
  Bytes blocks;
  for (std::size_t at = 0, n = 0; at < d.bin.size(); at += 0x9300, ++n) {
    Bytes block(0x9300, 0);
    std::copy_n(d.bin.begin() + at,
                std::min<std::size_t>(0x9300, d.bin.size() - at),
                block.begin());
    Bytes stored = deflate_bytes(block.data(), block.size());
    if (d.store_all || stored.size() >= 0x9300) stored = block;
    uint8_t* e = h.data() + kIndexAt + 32 * n;
    put_u32(e, static_cast<uint32_t>(blocks.size()));
    e[4] = static_cast<uint8_t>(stored.size());
    e[5] = static_cast<uint8_t>(stored.size() >> 8);
    std::memset(e + 8, 0xEE, 16);  // a digest no reader checks
    blocks.insert(blocks.end(), stored.begin(), stored.end());
  }
  h.insert(h.end(), blocks.begin(), blocks.end());
  return h;
}

}  // namespace

Bytes coded_image(std::size_t sectors, const std::vector<int>& kinds,
                  uint8_t seed) {
  Bytes image(sectors * 2352, 0);
  for (std::size_t n = 0; n < sectors; ++n) {
    uint8_t* s = image.data() + n * 2352;
    for (std::size_t i = 0; i < 2352; ++i)
      s[i] = static_cast<uint8_t>((i * 7 + n * 13 + seed) ^ (i >> 5));
    const int kind = kinds[n % kinds.size()];
    if (kind == 0) continue;
    std::memcpy(s, kSync, 12);
    const uint32_t lba = static_cast<uint32_t>(n) + 150;
    s[12] = to_bcd(lba / 75 / 60);
    s[13] = to_bcd(lba / 75 % 60);
    s[14] = to_bcd(lba % 75);
    s[15] = kind == 1 ? 1 : 2;
    if (kind == 1) {
      rebuild_edc_ecc({s, 2352});
      continue;
    }
    const uint8_t sub[4] = {0, 1, static_cast<uint8_t>(kind == 3 ? 0x20 : 0x08),
                            0};
    std::memcpy(s + 16, sub, 4);
    std::memcpy(s + 20, sub, 4);
    if (kind == 2)
      rebuild_edc_ecc({s, 2352});
    else
      put_u32(s + 2348, sector_edc({s + 16, 2332}));
  }
  return image;
}

Bytes deflate_raw(const Bytes& bytes) {
  return deflate_bytes(bytes.data(), bytes.size());
}

Bytes ecm_header(uint8_t type, uint32_t value) {
  Bytes h;
  uint64_t rest = value >> 5;
  h.push_back(static_cast<uint8_t>(((value & 0x1F) << 2) | type |
                                   (rest != 0 ? 0x80 : 0)));
  while (rest != 0) {
    const uint8_t b = rest & 0x7F;
    rest >>= 7;
    h.push_back(static_cast<uint8_t>(b | (rest != 0 ? 0x80 : 0)));
  }
  return h;
}

Bytes ecm_encode(const Bytes& image, std::size_t* counts, std::size_t max_run) {
  static const std::size_t kStored[4] = {1, 0x803, 0x804, 0x918};
  Bytes out = {'E', 'C', 'M', 0};
  // Items of the record being gathered.
  int type = -1;
  Bytes items;
  std::size_t n = 0;
  auto flush = [&] {
    if (n == 0) return;
    const Bytes h =
        ecm_header(static_cast<uint8_t>(type), static_cast<uint32_t>(n - 1));
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), items.begin(), items.end());
    items.clear();
    n = 0;
  };
  auto add = [&](int t, const uint8_t* p, std::size_t items_n) {
    for (std::size_t i = 0; i < items_n; ++i) {
      if (t != type || (max_run != 0 && n == max_run)) flush();
      type = t;
      items.insert(items.end(), p + i * kStored[t], p + (i + 1) * kStored[t]);
      ++n;
      if (counts != nullptr) ++counts[t];
    }
  };
  std::size_t at = 0;
  for (; at + 2352 <= image.size(); at += 2352) {
    const uint8_t* s = image.data() + at;
    switch (sector_type(s)) {
      case 1: {
        Bytes stored(s + 12, s + 15);  // the address, then the data
        stored.insert(stored.end(), s + 16, s + 2064);
        add(1, stored.data(), 1);
        break;
      }
      case 2:
      case 3: {
        const int t = sector_type(s);
        add(0, s, 16);
        Bytes stored(s + 16, s + 20);
        stored.insert(stored.end(), s + 24, s + (t == 2 ? 2072 : 2348));
        add(t, stored.data(), 1);
        break;
      }
      default:
        add(0, s, 2352);
    }
  }
  add(0, image.data() + at, image.size() - at);
  flush();
  const Bytes end = ecm_header(0, 0xFFFFFFFF);
  out.insert(out.end(), end.begin(), end.end());
  out.resize(out.size() + 4);
  put_u32(out.data() + out.size() - 4, sector_edc(image));
  return out;
}

Bytes make_pbp(const std::vector<PbpDisc>& discs, bool title,
               std::vector<std::size_t>* disc_at) {
  Bytes pbp(kPsarAt, 0);
  pbp[1] = 'P';
  pbp[2] = 'B';
  pbp[3] = 'P';
  put_u32(pbp.data() + 4, 0x10000);
  for (int i = 0; i < 8; ++i) put_u32(pbp.data() + 8 + 4 * i, kPsarAt);
  if (!title && discs.size() == 1) {
    if (disc_at != nullptr) disc_at->push_back(pbp.size());
    const Bytes d = disc_bytes(discs[0]);
    pbp.insert(pbp.end(), d.begin(), d.end());
    return pbp;
  }
  Bytes t(0x8000, 0);
  std::memcpy(t.data(), "PSTITLEIMG000000", 16);
  for (std::size_t i = 0; i < discs.size(); ++i) {
    put_u32(t.data() + kDiscListAt + 4 * i, static_cast<uint32_t>(t.size()));
    if (disc_at != nullptr) disc_at->push_back(kPsarAt + t.size());
    const Bytes d = disc_bytes(discs[i]);
    t.insert(t.end(), d.begin(), d.end());
  }
  pbp.insert(pbp.end(), t.begin(), t.end());
  return pbp;
}

}  // namespace vexlo::test
