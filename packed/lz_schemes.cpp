// The LZ schemes: lzss, napk, ulz, gt-zip, slz and refpack. Each decoder
// reads a flag unit only when it needs a flag and the last unit is used up,
// checks every byte it takes against the end of its part of the data, and
// stops at the first error.
#include <cstring>

#include "packed/unpack_buffer.h"

namespace vexlo::packed_detail {

namespace {

// Where a decoder may read: up to `end`, which is the data's end (a read
// past it may succeed with more data) or a part's end inside it (a read
// past it is an error).
struct Bound {
  Candidate& c;
  std::size_t end;
  bool data_end;

  bool has(std::size_t pos, std::size_t n) const {
    if (data_end) return c.has(pos, n);
    return pos <= end && end - pos >= n;
  }
};

// Flags from bytes, lowest bit first (kHigh: highest bit first).
template <bool kHigh>
class ByteFlags {
 public:
  // The next flag, reading a flag byte at d[*pos] when none is left.
  bool next(const uint8_t* d, std::size_t* pos, const Bound& b, bool* flag) {
    if (left_ == 0) {
      if (!b.has(*pos, 1)) return false;
      unit_ = d[(*pos)++];
      left_ = 8;
    }
    --left_;
    if constexpr (kHigh) {
      *flag = (unit_ & 0x80u) != 0;
      unit_ = static_cast<uint8_t>(unit_ << 1);
    } else {
      *flag = (unit_ & 1u) != 0;
      unit_ >>= 1;
    }
    return true;
  }

 private:
  uint8_t unit_ = 0;
  int left_ = 0;
};

bool finish(Candidate& c, const Output& out, std::size_t end,
            PackedScheme scheme) {
  if (!out.full()) return false;
  c.out_size = out.size();
  c.s.scheme = scheme;
  c.s.offset = c.offset;
  c.s.end = end;
  return true;
}

// The header's magic and a u32 declared size after it, in range.
bool magic_and_size(Candidate& c, const char* magic, std::size_t magic_len,
                    std::size_t size_at, uint32_t* size) {
  if (!c.has(c.offset, size_at + 4) ||
      std::memcmp(&c.data[c.offset], magic, magic_len) != 0)
    return false;
  *size = le32(&c.data[c.offset + size_at]);
  return size_sane(*size);
}

// lzss with length add-on k: ends at a copy of distance 0.
bool lzss_pass(Candidate& c, uint32_t size, unsigned k, std::size_t* end_pos) {
  const uint8_t* d = c.data.data();
  const Bound b{c, c.data.size(), true};
  std::size_t pos = c.offset + 8;
  Output out(c.buf, size);
  ByteFlags<false> flags;
  for (;;) {
    bool literal;
    if (!flags.next(d, &pos, b, &literal)) return false;
    if (literal) {
      if (!b.has(pos, 1) || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (!b.has(pos, 2)) return false;
    const uint32_t w = le16(d + pos);
    pos += 2;
    const uint32_t disp = w & 0x3FFu;
    if (disp == 0) break;
    if (!out.copy(disp, (w >> 10) + k)) return false;
  }
  if (!out.full()) return false;
  c.out_size = out.size();
  *end_pos = pos;
  return true;
}

}  // namespace

bool open_lzss(Candidate& c) {
  uint32_t size;
  if (!magic_and_size(c, "LZSS", 4, 4, &size)) return false;
  std::size_t end = 0;
  for (unsigned k : {2u, 3u}) {
    if (lzss_pass(c, size, k, &end)) {
      c.s.scheme = PackedScheme::kLzss;
      c.s.offset = c.offset;
      c.s.end = end;
      c.s.lzss.length_addon = static_cast<uint8_t>(k);
      return true;
    }
  }
  return false;
}

bool open_napk(Candidate& c) {
  uint32_t size;
  if (!magic_and_size(c, "napk", 4, 4, &size)) return false;
  const uint8_t* d = c.data.data();
  const Bound b{c, c.data.size(), true};
  std::size_t pos = c.offset + 8;
  Output out(c.buf, size);
  ByteFlags<true> flags;
  while (!out.full()) {
    bool copy;
    if (!flags.next(d, &pos, b, &copy)) return false;
    if (!copy) {
      if (!b.has(pos, 1) || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (!b.has(pos, 2)) return false;
    if (!out.copy(d[pos] + 1u, d[pos + 1] + 3u)) return false;
    pos += 2;
  }
  return finish(c, out, pos, PackedScheme::kNapk);
}

bool open_gt_zip(Candidate& c) {
  static constexpr char kMagic[12] = {'@', '(', '#', ')', 'G', 'T',
                                      '-', 'Z', 'I', 'P', 0,   0};
  uint32_t size;
  if (!magic_and_size(c, kMagic, sizeof kMagic, 12, &size)) return false;
  const uint8_t* d = c.data.data();
  const Bound b{c, c.data.size(), true};
  std::size_t pos = c.offset + 16;
  Output out(c.buf, size);
  ByteFlags<false> flags;
  while (!out.full()) {
    bool copy;
    if (!flags.next(d, &pos, b, &copy)) return false;
    if (!copy) {
      if (!b.has(pos, 1) || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (!b.has(pos, 2)) return false;
    const uint32_t len = d[pos] + 3u;
    uint32_t disp = d[pos + 1];
    pos += 2;
    if (disp >= 0x80) {
      if (!b.has(pos, 1)) return false;
      disp = ((disp - 0x80) << 8) | d[pos++];
    }
    if (!out.copy(disp + 1, len)) return false;
  }
  return finish(c, out, pos, PackedScheme::kGtZip);
}

namespace {

// Flag words of ulz: 32 flags a word (version 2), or flags up to a stop bit
// (version 0): the word's last set bit in the order bits are taken. kHigh
// takes the highest bit first.
template <bool kHigh>
class WordFlags {
 public:
  explicit WordFlags(bool stop_bit) : stop_bit_(stop_bit) {}

  // 1: a flag; 0: no flag left (version 0: a zero word, the end); -1: error.
  int next(const uint8_t* d, std::size_t* pos, const Bound& b, bool* flag) {
    while (empty()) {
      if (!b.has(*pos, 4)) return -1;
      unit_ = le32(d + *pos);
      *pos += 4;
      left_ = 32;
      if (stop_bit_ && unit_ == 0) return 0;
    }
    --left_;
    if constexpr (kHigh) {
      *flag = (unit_ >> 31) != 0;
      unit_ <<= 1;
    } else {
      *flag = (unit_ & 1u) != 0;
      unit_ >>= 1;
    }
    return 1;
  }

 private:
  // With a stop bit the word is used up when only the stop bit is left.
  bool empty() const {
    if (!stop_bit_) return left_ == 0;
    return unit_ == (kHigh ? 0x80000000u : 1u);
  }

  uint32_t unit_ = kHigh ? 0x80000000u : 1u;
  int left_ = 0;
  bool stop_bit_;
};

// The three parts of a ulz stream, each read up to its end.
struct UlzParts {
  std::size_t flags, flags_end, lits, lits_end, codes;
};

template <bool kHigh>
bool ulz_decode(Candidate& c, UlzParts p, uint32_t size, unsigned n,
                unsigned addon, bool version0, std::size_t* end_pos) {
  const uint8_t* d = c.data.data();
  const Bound flags_bound{c, p.flags_end, false};
  const Bound lits_bound{c, p.lits_end, false};
  const Bound codes_bound{c, c.data.size(), true};
  Output out(c.buf, size);
  WordFlags<kHigh> flags(version0);
  const uint32_t disp_mask = (1u << n) - 1;
  for (;;) {
    if (!version0 && out.full()) break;
    bool literal;
    const int got = flags.next(d, &p.flags, flags_bound, &literal);
    if (got < 0) return false;
    if (got == 0) break;
    if (literal) {
      if (!lits_bound.has(p.lits, 1) || !out.literal(d[p.lits])) return false;
      ++p.lits;
      continue;
    }
    if (!codes_bound.has(p.codes, 2)) return false;
    const uint32_t w = le16(d + p.codes);
    p.codes += 2;
    if (!out.copy((w & disp_mask) + 1, (w >> n) + addon)) return false;
  }
  if (!out.full()) return false;
  c.out_size = out.size();
  std::size_t e = p.flags;
  if (p.lits > e) e = p.lits;
  if (p.codes > e) e = p.codes;
  *end_pos = e;
  return true;
}

}  // namespace

bool open_ulz(Candidate& c) {
  if (!c.has(c.offset, 16)) return false;
  const uint8_t* h = &c.data[c.offset];
  UlzFields f;
  uint32_t size;
  std::size_t flags_start;
  if (std::memcmp(h, "Ulz\x1A", 4) == 0) {
    f.header = UlzHeader::kLower;
    size = le24(h + 4);
    f.version = h[7];
    f.literal_offset = le24(h + 8);
    f.distance_bits = h[11];
    f.code_offset = le32(h + 12);
    flags_start = 16;
  } else if (std::memcmp(h, "ULZ\x1A", 4) == 0) {
    if (!c.has(c.offset, 20) || le16(h + 4) != 0) return false;
    f.header = UlzHeader::kUpper;
    f.version = h[6];
    f.distance_bits = h[7];
    f.literal_offset = le32(h + 8);
    f.code_offset = le32(h + 12);
    size = le32(h + 16);
    flags_start = 20;
  } else {
    return false;
  }
  // Parts in order inside the data: flags, literals, copy codes.
  if ((f.version != 0 && f.version != 2) || f.distance_bits < 8 ||
      f.distance_bits > 15 || !size_sane(size) ||
      f.literal_offset < flags_start || f.code_offset < f.literal_offset ||
      !c.has(c.offset, f.code_offset))
    return false;
  const UlzParts parts{c.offset + flags_start, c.offset + f.literal_offset,
                       c.offset + f.literal_offset, c.offset + f.code_offset,
                       c.offset + f.code_offset};
  const bool v0 = f.version == 0;
  std::size_t end = 0;
  const bool ok =
      f.header == UlzHeader::kLower
          ? ulz_decode<true>(c, parts, size, f.distance_bits, 3, v0, &end)
          : ulz_decode<false>(c, parts, size, f.distance_bits, 2, v0, &end);
  if (!ok) return false;
  c.s.scheme = PackedScheme::kUlz;
  c.s.offset = c.offset;
  c.s.end = end;
  c.s.ulz = f;
  return true;
}

namespace {

constexpr std::size_t kSlzHeader = 16;

// The header of a chain's chunk at data[at], with sane fields.
bool slz_chunk_header(Candidate& c, std::size_t at, SlzChunk* k) {
  if (!c.has(at, kSlzHeader)) return false;
  const uint8_t* h = &c.data[at];
  const bool slz = h[0] == 'S' && h[1] == 'L' && h[2] == 'Z';
  const bool z01 = h[0] == '0' && h[1] == '1' && h[2] == 'Z';
  if (!slz && !z01) return false;
  k->header_offset = at;
  k->magic_01z = z01;
  k->method = h[3];
  k->packed_size = le32(h + 4);
  k->unpacked_size = le32(h + 8);
  k->next = le32(h + 12);
  if (k->method > 2 || k->unpacked_size == 0 ||
      k->unpacked_size > kMaxUnpackedSize ||
      !c.has(at + kSlzHeader, k->packed_size))
    return false;
  return k->method != 0 || k->packed_size == k->unpacked_size;
}

// One chunk's data appended to `out` (whose cap is raised by its size).
// Copies may reach back into earlier chunks of the chain.
bool slz_chunk_data(Candidate& c, const SlzChunk& k, Output& out) {
  const uint8_t* d = c.data.data();
  std::size_t pos = k.header_offset + kSlzHeader;
  const Bound b{c, pos + k.packed_size, false};
  out.set_limit(out.size() + k.unpacked_size);
  if (k.method == 0) return out.literals(d + pos, k.packed_size);
  ByteFlags<false> flags;
  while (!out.full()) {
    bool literal;
    if (!flags.next(d, &pos, b, &literal)) return false;
    if (literal) {
      if (!b.has(pos, 1) || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (!b.has(pos, 2)) return false;
    const uint32_t w = le16(d + pos);
    pos += 2;
    const uint32_t disp = w & 0xFFFu;
    const uint32_t len_field = w >> 12;
    if (k.method == 2 && len_field == 15) {
      uint32_t count = (disp >> 8) + 3;
      uint32_t value = disp & 0xFFu;
      if (count == 3) {
        count = value + 0x13;
        if (!b.has(pos, 1)) return false;
        value = d[pos++];
      }
      if (!out.fill(static_cast<uint8_t>(value), count)) return false;
      continue;
    }
    if (disp == 0) {
      if (k.method == 2) return false;
      break;
    }
    if (!out.copy(disp, len_field + 3)) return false;
  }
  return out.full();
}

}  // namespace

bool open_slz(Candidate& c) {
  SlzChunk k;
  if (!slz_chunk_header(c, c.offset, &k)) return false;
  Output out(c.buf, 0);
  c.s.slz.clear();
  std::size_t end = 0;
  for (;;) {
    const std::size_t before = out.size();
    if (k.unpacked_size > kMaxUnpackedSize - before ||
        !slz_chunk_data(c, k, out)) {
      out.truncate(before);
      break;
    }
    c.s.slz.push_back(k);
    end = k.header_offset + kSlzHeader + k.packed_size;
    // A distance other than the rounded size ends the chain.
    const uint64_t rounded = (uint64_t{k.packed_size} + kSlzHeader + 3) / 4 * 4;
    if (k.next == 0 || k.next != rounded) break;
    SlzChunk n;
    if (!slz_chunk_header(c, k.header_offset + k.next, &n)) break;
    k = n;
  }
  if (c.s.slz.empty() || !size_sane(out.size())) return false;
  c.out_size = out.size();
  c.s.scheme = PackedScheme::kSlz;
  c.s.offset = c.offset;
  c.s.end = end;
  return true;
}

bool open_refpack(Candidate& c) {
  if (!c.has(c.offset, 5)) return false;
  const uint8_t* h = &c.data[c.offset];
  if (h[1] != 0xFB) return false;
  RefpackFields f;
  uint32_t size;
  std::size_t start;
  switch (h[0]) {
    case 0x10:
      f.header = RefpackHeader::k10FB;
      size = be24(h + 2);
      start = 5;
      break;
    case 0x11:
      if (!c.has(c.offset, 8)) return false;
      f.header = RefpackHeader::k11FB;
      f.stored_packed_size = be24(h + 2);
      size = be24(h + 5);
      start = 8;
      break;
    case 0x90:
      if (!c.has(c.offset, 6)) return false;
      f.header = RefpackHeader::k90FB;
      size = be32(h + 2);
      start = 6;
      break;
    case 0x91:
      if (!c.has(c.offset, 10)) return false;
      f.header = RefpackHeader::k91FB;
      f.stored_packed_size = be32(h + 2);
      size = be32(h + 6);
      start = 10;
      break;
    default:
      return false;
  }
  if (!size_sane(size)) return false;
  const uint8_t* d = c.data.data();
  std::size_t pos = c.offset + start;
  Output out(c.buf, size);
  for (;;) {
    if (!c.has(pos, 1)) return false;
    const uint32_t b0 = d[pos];
    uint32_t lits, len, disp;
    if (b0 < 0x80) {
      if (!c.has(pos, 2)) return false;
      const uint32_t b1 = d[pos + 1];
      lits = b0 & 3;
      len = ((b0 >> 2) & 7) + 3;
      disp = ((b0 & 0x60) << 3) + b1 + 1;
      pos += 2;
    } else if (b0 < 0xC0) {
      if (!c.has(pos, 3)) return false;
      const uint32_t b1 = d[pos + 1], b2 = d[pos + 2];
      lits = b1 >> 6;
      len = (b0 & 0x3F) + 4;
      disp = ((b1 & 0x3F) << 8) + b2 + 1;
      pos += 3;
    } else if (b0 < 0xE0) {
      if (!c.has(pos, 4)) return false;
      const uint32_t b1 = d[pos + 1], b2 = d[pos + 2], b3 = d[pos + 3];
      lits = b0 & 3;
      len = ((b0 & 0x0C) << 6) + b3 + 5;
      disp = ((b0 & 0x10) << 12) + (b1 << 8) + b2 + 1;
      pos += 4;
    } else {
      // Literals only; from 0xFC on, the last ones.
      lits = b0 < 0xFC ? ((b0 & 0x1F) << 2) + 4 : b0 & 3;
      ++pos;
      if (!c.has(pos, lits) || !out.literals(d + pos, lits)) return false;
      pos += lits;
      if (b0 >= 0xFC) break;
      continue;
    }
    if (!c.has(pos, lits) || !out.literals(d + pos, lits)) return false;
    pos += lits;
    if (!out.copy(disp, len)) return false;
  }
  if (!finish(c, out, pos, PackedScheme::kRefpack)) return false;
  c.s.refpack = f;
  return true;
}

}  // namespace vexlo::packed_detail
