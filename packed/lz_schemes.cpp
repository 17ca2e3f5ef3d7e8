// The LZ schemes: lzss, napk, ulz, gt-zip, slz and refpack. Each decoder
// reads a flag unit only when it needs a flag and the last unit is used up,
// checks every byte it takes against the end of its part of the data, and
// stops at the first error.
#include <cstring>

#include "packed/unpack_buffer.h"

namespace vexlo::packed_detail {

namespace {

// Flags from bytes, lowest bit first (kHigh: highest bit first).
template <bool kHigh>
class ByteFlags {
 public:
  // The next flag, reading a flag byte at data[*pos] when none is left.
  bool next(const uint8_t* data, std::size_t* pos, std::size_t end,
            bool* flag) {
    if (left_ == 0) {
      if (*pos >= end) return false;
      unit_ = data[(*pos)++];
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

bool finish(Output& out, std::size_t* out_size, PackedStream& s,
            std::size_t offset, std::size_t end, PackedScheme scheme) {
  if (!out.full()) return false;
  *out_size = out.size();
  s.scheme = scheme;
  s.offset = offset;
  s.end = end;
  return true;
}

// lzss with length add-on k: ends at a copy of distance 0.
bool lzss_pass(std::span<const uint8_t> data, std::size_t offset, uint32_t size,
               unsigned k, std::vector<uint8_t>& buf, std::size_t* out_size,
               std::size_t* end_pos) {
  const uint8_t* d = data.data();
  const std::size_t end = data.size();
  std::size_t pos = offset + 8;
  Output out(buf, size);
  ByteFlags<false> flags;
  for (;;) {
    bool literal;
    if (!flags.next(d, &pos, end, &literal)) return false;
    if (literal) {
      if (pos >= end || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (end - pos < 2) return false;
    const uint32_t w = le16(d + pos);
    pos += 2;
    const uint32_t disp = w & 0x3FFu;
    if (disp == 0) break;
    if (!out.copy(disp, (w >> 10) + k)) return false;
  }
  if (!out.full()) return false;
  *out_size = out.size();
  *end_pos = pos;
  return true;
}

}  // namespace

bool open_lzss(std::span<const uint8_t> data, std::size_t offset,
               std::vector<uint8_t>& buf, std::size_t* out_size,
               PackedStream& s) {
  if (data.size() - offset < 8 || std::memcmp(&data[offset], "LZSS", 4) != 0)
    return false;
  const uint32_t size = le32(&data[offset + 4]);
  if (!size_sane(size)) return false;
  std::size_t end = 0;
  for (unsigned k : {2u, 3u}) {
    if (lzss_pass(data, offset, size, k, buf, out_size, &end)) {
      s.scheme = PackedScheme::kLzss;
      s.offset = offset;
      s.end = end;
      s.lzss.length_addon = static_cast<uint8_t>(k);
      return true;
    }
  }
  return false;
}

bool open_napk(std::span<const uint8_t> data, std::size_t offset,
               std::vector<uint8_t>& buf, std::size_t* out_size,
               PackedStream& s) {
  if (data.size() - offset < 8 || std::memcmp(&data[offset], "napk", 4) != 0)
    return false;
  const uint32_t size = le32(&data[offset + 4]);
  if (!size_sane(size)) return false;
  const uint8_t* d = data.data();
  const std::size_t end = data.size();
  std::size_t pos = offset + 8;
  Output out(buf, size);
  ByteFlags<true> flags;
  while (!out.full()) {
    bool copy;
    if (!flags.next(d, &pos, end, &copy)) return false;
    if (!copy) {
      if (pos >= end || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (end - pos < 2) return false;
    if (!out.copy(d[pos] + 1u, d[pos + 1] + 3u)) return false;
    pos += 2;
  }
  return finish(out, out_size, s, offset, pos, PackedScheme::kNapk);
}

bool open_gt_zip(std::span<const uint8_t> data, std::size_t offset,
                 std::vector<uint8_t>& buf, std::size_t* out_size,
                 PackedStream& s) {
  static constexpr char kMagic[12] = {'@', '(', '#', ')', 'G', 'T',
                                      '-', 'Z', 'I', 'P', 0,   0};
  if (data.size() - offset < 16 ||
      std::memcmp(&data[offset], kMagic, sizeof kMagic) != 0)
    return false;
  const uint32_t size = le32(&data[offset + 12]);
  if (!size_sane(size)) return false;
  const uint8_t* d = data.data();
  const std::size_t end = data.size();
  std::size_t pos = offset + 16;
  Output out(buf, size);
  ByteFlags<false> flags;
  while (!out.full()) {
    bool copy;
    if (!flags.next(d, &pos, end, &copy)) return false;
    if (!copy) {
      if (pos >= end || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (end - pos < 2) return false;
    const uint32_t len = d[pos] + 3u;
    uint32_t disp = d[pos + 1];
    pos += 2;
    if (disp >= 0x80) {
      if (pos >= end) return false;
      disp = ((disp - 0x80) << 8) | d[pos++];
    }
    if (!out.copy(disp + 1, len)) return false;
  }
  return finish(out, out_size, s, offset, pos, PackedScheme::kGtZip);
}

namespace {

// Flag words of ulz: 32 flags a word (version 2), or flags up to a stop bit
// (version 0). kHigh takes the highest bit first.
template <bool kHigh>
class WordFlags {
 public:
  WordFlags(bool stop_bit) : stop_bit_(stop_bit) {}

  // 1: a flag; 0: no flag left (version 0: a zero word, the end); -1: error.
  int next(const uint8_t* d, std::size_t* pos, std::size_t end, bool* flag) {
    while (empty()) {
      if (end - *pos < 4) return -1;
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

template <bool kHigh>
bool ulz_decode(const uint8_t* d, std::size_t flags_pos, std::size_t flags_end,
                std::size_t lit_pos, std::size_t lit_end, std::size_t code_pos,
                std::size_t code_end, uint32_t size, unsigned n, unsigned addon,
                bool version0, std::vector<uint8_t>& buf, std::size_t* out_size,
                std::size_t* end_pos) {
  Output out(buf, size);
  WordFlags<kHigh> flags(version0);
  const uint32_t disp_mask = (1u << n) - 1;
  for (;;) {
    if (!version0 && out.full()) break;
    bool literal;
    const int got = flags.next(d, &flags_pos, flags_end, &literal);
    if (got < 0) return false;
    if (got == 0) break;
    if (literal) {
      if (lit_pos >= lit_end || !out.literal(d[lit_pos])) return false;
      ++lit_pos;
      continue;
    }
    if (code_end - code_pos < 2) return false;
    const uint32_t w = le16(d + code_pos);
    code_pos += 2;
    if (!out.copy((w & disp_mask) + 1, (w >> n) + addon)) return false;
  }
  if (!out.full()) return false;
  *out_size = out.size();
  std::size_t e = flags_pos;
  if (lit_pos > e) e = lit_pos;
  if (code_pos > e) e = code_pos;
  *end_pos = e;
  return true;
}

}  // namespace

bool open_ulz(std::span<const uint8_t> data, std::size_t offset,
              std::vector<uint8_t>& buf, std::size_t* out_size,
              PackedStream& s) {
  const std::size_t rest = data.size() - offset;
  if (rest < 16) return false;
  const uint8_t* h = &data[offset];
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
    if (rest < 20 || le16(h + 4) != 0) return false;
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
      f.code_offset > rest)
    return false;
  const std::size_t flags_end = offset + f.literal_offset;
  const std::size_t lit_end = offset + f.code_offset;
  const bool v0 = f.version == 0;
  std::size_t end = 0;
  const bool ok =
      f.header == UlzHeader::kLower
          ? ulz_decode<true>(data.data(), offset + flags_start, flags_end,
                             flags_end, lit_end, lit_end, data.size(), size,
                             f.distance_bits, 3, v0, buf, out_size, &end)
          : ulz_decode<false>(data.data(), offset + flags_start, flags_end,
                              flags_end, lit_end, lit_end, data.size(), size,
                              f.distance_bits, 2, v0, buf, out_size, &end);
  if (!ok) return false;
  s.scheme = PackedScheme::kUlz;
  s.offset = offset;
  s.end = end;
  s.ulz = f;
  return true;
}

namespace {

constexpr std::size_t kSlzHeader = 16;

// The header of a chain's chunk at data[at], with sane fields.
bool slz_chunk_header(std::span<const uint8_t> data, std::size_t at,
                      SlzChunk* c) {
  if (at > data.size() || data.size() - at < kSlzHeader) return false;
  const uint8_t* h = &data[at];
  const bool slz = h[0] == 'S' && h[1] == 'L' && h[2] == 'Z';
  const bool z01 = h[0] == '0' && h[1] == '1' && h[2] == 'Z';
  if (!slz && !z01) return false;
  c->header_offset = at;
  c->magic_01z = z01;
  c->method = h[3];
  c->packed_size = le32(h + 4);
  c->unpacked_size = le32(h + 8);
  c->next = le32(h + 12);
  if (c->method > 2 || c->unpacked_size == 0 ||
      c->unpacked_size > kMaxUnpackedSize ||
      c->packed_size > data.size() - at - kSlzHeader)
    return false;
  return c->method != 0 || c->packed_size == c->unpacked_size;
}

// One chunk's data appended to `out` (whose cap is raised by its size).
// Copies may reach back into earlier chunks of the chain.
bool slz_chunk_data(const uint8_t* d, const SlzChunk& c, Output& out) {
  std::size_t pos = c.header_offset + kSlzHeader;
  const std::size_t end = pos + c.packed_size;
  out.set_limit(out.size() + c.unpacked_size);
  if (c.method == 0) return out.literals(d + pos, c.packed_size);
  ByteFlags<false> flags;
  while (!out.full()) {
    bool literal;
    if (!flags.next(d, &pos, end, &literal)) return false;
    if (literal) {
      if (pos >= end || !out.literal(d[pos])) return false;
      ++pos;
      continue;
    }
    if (end - pos < 2) return false;
    const uint32_t w = le16(d + pos);
    pos += 2;
    const uint32_t disp = w & 0xFFFu;
    const uint32_t len_field = w >> 12;
    if (c.method == 2 && len_field == 15) {
      uint32_t count = (disp >> 8) + 3;
      uint32_t value = disp & 0xFFu;
      if (count == 3) {
        count = value + 0x13;
        if (pos >= end) return false;
        value = d[pos++];
      }
      if (!out.fill(static_cast<uint8_t>(value), count)) return false;
      continue;
    }
    if (disp == 0) {
      if (c.method == 2) return false;
      break;
    }
    if (!out.copy(disp, len_field + 3)) return false;
  }
  return out.full();
}

}  // namespace

bool open_slz(std::span<const uint8_t> data, std::size_t offset,
              std::vector<uint8_t>& buf, std::size_t* out_size,
              PackedStream& s) {
  SlzChunk c;
  if (!slz_chunk_header(data, offset, &c)) return false;
  Output out(buf, 0);
  s.slz.clear();
  std::size_t end = 0;
  for (;;) {
    const std::size_t before = out.size();
    if (c.unpacked_size > kMaxUnpackedSize - before ||
        !slz_chunk_data(data.data(), c, out)) {
      out.truncate(before);
      break;
    }
    s.slz.push_back(c);
    end = c.header_offset + kSlzHeader + c.packed_size;
    // A distance other than the rounded size ends the chain.
    const uint64_t rounded = (uint64_t{c.packed_size} + kSlzHeader + 3) / 4 * 4;
    if (c.next == 0 || c.next != rounded) break;
    SlzChunk n;
    if (!slz_chunk_header(data, c.header_offset + c.next, &n)) break;
    c = n;
  }
  if (s.slz.empty() || !size_sane(out.size())) return false;
  *out_size = out.size();
  s.scheme = PackedScheme::kSlz;
  s.offset = offset;
  s.end = end;
  return true;
}

bool open_refpack(std::span<const uint8_t> data, std::size_t offset,
                  std::vector<uint8_t>& buf, std::size_t* out_size,
                  PackedStream& s) {
  const std::size_t rest = data.size() - offset;
  if (rest < 5) return false;
  const uint8_t* h = &data[offset];
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
      if (rest < 8) return false;
      f.header = RefpackHeader::k11FB;
      f.stored_packed_size = be24(h + 2);
      size = be24(h + 5);
      start = 8;
      break;
    case 0x90:
      if (rest < 6) return false;
      f.header = RefpackHeader::k90FB;
      size = be32(h + 2);
      start = 6;
      break;
    case 0x91:
      if (rest < 10) return false;
      f.header = RefpackHeader::k91FB;
      f.stored_packed_size = be32(h + 2);
      size = be32(h + 6);
      start = 10;
      break;
    default:
      return false;
  }
  if (!size_sane(size)) return false;
  const uint8_t* d = data.data();
  const std::size_t end = data.size();
  std::size_t pos = offset + start;
  Output out(buf, size);
  for (;;) {
    if (pos >= end) return false;
    const uint32_t b0 = d[pos];
    uint32_t lits, len, disp;
    if (b0 < 0x80) {
      if (end - pos < 2) return false;
      const uint32_t b1 = d[pos + 1];
      lits = b0 & 3;
      len = ((b0 >> 2) & 7) + 3;
      disp = ((b0 & 0x60) << 3) + b1 + 1;
      pos += 2;
    } else if (b0 < 0xC0) {
      if (end - pos < 3) return false;
      const uint32_t b1 = d[pos + 1], b2 = d[pos + 2];
      lits = b1 >> 6;
      len = (b0 & 0x3F) + 4;
      disp = ((b1 & 0x3F) << 8) + b2 + 1;
      pos += 3;
    } else if (b0 < 0xE0) {
      if (end - pos < 4) return false;
      const uint32_t b1 = d[pos + 1], b2 = d[pos + 2], b3 = d[pos + 3];
      lits = b0 & 3;
      len = ((b0 & 0x0C) << 6) + b3 + 5;
      disp = ((b0 & 0x10) << 12) + (b1 << 8) + b2 + 1;
      pos += 4;
    } else {
      // Literals only; from 0xFC on, the last ones.
      lits = b0 < 0xFC ? ((b0 & 0x1F) << 2) + 4 : b0 & 3;
      ++pos;
      if (end - pos < lits || !out.literals(d + pos, lits)) return false;
      pos += lits;
      if (b0 >= 0xFC) break;
      continue;
    }
    if (end - pos < lits || !out.literals(d + pos, lits)) return false;
    pos += lits;
    if (!out.copy(disp, len)) return false;
  }
  if (!out.full()) return false;
  *out_size = out.size();
  s.scheme = PackedScheme::kRefpack;
  s.offset = offset;
  s.end = pos;
  s.refpack = f;
  return true;
}

}  // namespace vexlo::packed_detail
