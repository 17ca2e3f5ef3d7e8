// A look at the first deflate block before any inflate state is set up. Two
// header bytes match about one offset in 16,000 of random data, so most
// zlib candidates must fail here, within a few bytes.
#include "packed/unpack_buffer.h"

namespace vexlo::packed_detail {

namespace {

// Bits of deflate data, lowest bit of each byte first.
class Bits {
 public:
  Bits(std::span<const uint8_t> p, bool* wanted_more)
      : p_(p), wanted_more_(wanted_more) {}

  // n <= 16 bits as a number, the first bit lowest; false past the end.
  bool take(unsigned n, uint32_t* v) {
    while (have_ < n) {
      if (at_ >= p_.size()) {
        *wanted_more_ = true;
        return false;
      }
      acc_ |= uint32_t{p_[at_++]} << have_;
      have_ += 8;
    }
    *v = acc_ & ((1u << n) - 1);
    acc_ >>= n;
    have_ -= n;
    return true;
  }

  // A Huffman code of n bits, its first bit the code's highest.
  bool code(unsigned n, uint32_t* v) {
    uint32_t c = 0;
    for (unsigned i = 0; i < n; ++i) {
      uint32_t b;
      if (!take(1, &b)) return false;
      c = (c << 1) | b;
    }
    *v = c;
    return true;
  }

  void to_byte() {
    acc_ = 0;
    have_ = 0;
  }

 private:
  std::span<const uint8_t> p_;
  bool* wanted_more_;
  std::size_t at_ = 0;
  uint32_t acc_ = 0;
  unsigned have_ = 0;
};

// The fixed literal/length code's next symbol.
bool fixed_symbol(Bits& b, uint32_t* sym) {
  uint32_t c;
  if (!b.code(7, &c)) return false;
  if (c <= 23) {
    *sym = 256 + c;
    return true;
  }
  uint32_t bit;
  if (!b.take(1, &bit)) return false;
  c = (c << 1) | bit;
  if (c >= 48 && c <= 191) {
    *sym = c - 48;
    return true;
  }
  if (c >= 192 && c <= 199) {
    *sym = 280 + (c - 192);
    return true;
  }
  if (!b.take(1, &bit)) return false;
  *sym = 144 + (((c << 1) | bit) - 400);
  return true;
}

constexpr uint16_t kLengthBase[29] = {
    3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
                                      1, 1, 2, 2, 2, 2, 3, 3, 3, 3,
                                      4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {
    1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                    4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                    9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The first symbols of a block of fixed codes: a bad symbol or a copy from
// before the start fails. Random data fails within a few symbols; real data
// is looked at for a few dozen.
bool fixed_block_plausible(Bits& b, bool final_block) {
  uint64_t out = 0;
  for (int i = 0; i < 48; ++i) {
    uint32_t sym;
    if (!fixed_symbol(b, &sym)) return false;
    if (sym < 256) {
      ++out;
      continue;
    }
    if (sym == 256) return !final_block || out >= kMinUnpackedSize;
    if (sym > 285) return false;
    uint32_t extra, dist_code, dist_extra;
    if (!b.take(kLengthExtra[sym - 257], &extra)) return false;
    if (!b.code(5, &dist_code) || dist_code > 29) return false;
    if (!b.take(kDistExtra[dist_code], &dist_extra)) return false;
    if (kDistBase[dist_code] + dist_extra > out) return false;
    out += kLengthBase[sym - 257] + extra;
  }
  return true;
}

// The code-length code of a block of dynamic codes must be complete (or a
// single code of one bit), as inflate demands.
bool dynamic_block_plausible(Bits& b) {
  uint32_t hlit, hdist, hclen;
  if (!b.take(5, &hlit) || !b.take(5, &hdist) || !b.take(4, &hclen))
    return false;
  if (hlit > 29 || hdist > 29) return false;
  unsigned count[8] = {};
  for (uint32_t i = 0; i < hclen + 4; ++i) {
    uint32_t len;
    if (!b.take(3, &len)) return false;
    ++count[len];
  }
  int left = 1;
  for (int len = 1; len <= 7; ++len) {
    left = left * 2 - static_cast<int>(count[len]);
    if (left < 0) return false;
  }
  if (left == 0) return true;
  return count[1] == 1 && left == 64;
}

}  // namespace

bool deflate_start_plausible(std::span<const uint8_t> p, bool* wanted_more) {
  Bits b(p, wanted_more);
  uint32_t final_block, type;
  if (!b.take(1, &final_block) || !b.take(2, &type)) return false;
  switch (type) {
    case 0: {
      b.to_byte();
      uint32_t len, nlen;
      if (!b.take(16, &len) || !b.take(16, &nlen)) return false;
      if ((len ^ nlen) != 0xFFFFu) return false;
      return !final_block || len >= kMinUnpackedSize;
    }
    case 1:
      return fixed_block_plausible(b, final_block != 0);
    case 2:
      return dynamic_block_plausible(b);
    default:
      return false;
  }
}

}  // namespace vexlo::packed_detail
