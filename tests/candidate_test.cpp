#include "scan/candidate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tim/tim.h"

namespace vexlo {
namespace {

const CandidateKernel kKernels[] = {
    CandidateKernel::kPortable, CandidateKernel::kSse2, CandidateKernel::kAvx2,
    CandidateKernel::kAvx512};

const CandidateFilter kFilters[] = {{},
                                    {.looseflags = true},
                                    {.packed = true},
                                    {.looseflags = true, .packed = true}};

// The definition, one offset at a time.
std::size_t oracle_next(std::span<const uint8_t> d, std::size_t from,
                        std::size_t end, CandidateFilter f = {}) {
  for (std::size_t off = from; off < end && off < d.size(); ++off)
    if (is_candidate_at(d.data() + off, d.size() - off, f)) return off;
  return end;
}

std::vector<std::size_t> oracle_all(std::span<const uint8_t> d,
                                    std::size_t from, std::size_t end,
                                    CandidateFilter f = {}) {
  std::vector<std::size_t> out;
  for (std::size_t off = oracle_next(d, from, end, f); off < end;
       off = oracle_next(d, off + 1, end, f))
    out.push_back(off);
  return out;
}

std::vector<std::size_t> cursor_all(std::span<const uint8_t> d,
                                    std::size_t from, std::size_t end,
                                    CandidateKernel k, CandidateFilter f = {}) {
  std::vector<std::size_t> out;
  CandidateCursor c(d, from, end, k, f);
  for (std::size_t off = c.next(); off < end; off = c.next())
    out.push_back(off);
  EXPECT_EQ(c.next(), end) << "a finished cursor stays finished";
  return out;
}

void put_header(std::vector<uint8_t>& v, std::size_t at, uint8_t flags,
                uint8_t upper = 0) {
  const uint8_t h[8] = {0x10, 0, 0, 0, flags, upper, upper, upper};
  std::memcpy(v.data() + at, h, sizeof h);
}

struct Case {
  const char* name;
  std::size_t size;
  uint8_t filler;
  // Written in order, later ones on top; one running past `size` is cut.
  std::vector<std::size_t> headers;
  uint8_t flags;
  uint8_t upper = 0;  // flags bytes 1-3
};

// Buffers with hits at the edges of blocks and of the data, near-misses and
// the shortest lengths, each placed so that it ends where its allocation
// ends: a load past the data is a read past the vector.
const Case kCases[] = {
    {"empty", 0, 0, {}, 8},
    {"seven bytes", 7, 0x10, {}, 8},
    {"exactly one header", 8, 0, {0}, 8},
    {"header cut by the end of the data", 15, 0, {8}, 8},
    {"short, hit at end", 15, 0xFF, {7}, 2},
    {"shorter than 32", 31, 0, {3, 23}, 9},
    {"33 bytes", 33, 0, {25}, 3},
    {"hit at the start", 200, 0xFF, {0}, 8},
    {"hit at the last offset", 200, 0xFF, {192}, 8},
    {"block edges", 400, 0xFF, {63, 64, 127, 128, 191, 200, 255}, 12},
    {"hits where a block's tail reads", 300, 0, {56, 57, 70, 71}, 8},
    {"dense zeros", 256, 0, {0, 8, 16, 24, 100, 108}, 1},
    {"all 0x10", 300, 0x10, {}, 8},
    {"all zero", 300, 0, {}, 8},
    {"flags zero", 300, 0, {10, 90}, 0},
    {"flags the filter drops", 300, 0xFF, {10, 90, 170}, 0x10},
    {"flags 0x18 kept", 300, 0xFF, {10, 90, 170}, 0x18},
    {"overlapping headers", 300, 0xAA, {40, 44, 48}, 0x10},
    // Kept only by the looser filter.
    {"upper flag bytes set", 400, 0xFF, {0, 63, 64, 200, 380}, 0x09, 0xF6},
    {"no palette, even length, w and h", 300, 0x02, {0, 63, 64, 127, 280}, 0},
    {"no palette, odd length", 300, 0x01, {0, 63, 64, 127, 280}, 0x01},
    {"no palette, w or h zero", 300, 0, {10, 90, 200}, 0x10},
};

std::vector<uint8_t> build(const Case& c) {
  std::vector<uint8_t> v(c.size + kTimHeaderSize, c.filler);
  for (std::size_t at : c.headers) put_header(v, at, c.flags, c.upper);
  v.resize(c.size);
  return v;
}

TEST(CandidateSearch, TableThroughEveryKernelAtEveryAlignment) {
  for (const Case& c : kCases) {
    const std::vector<uint8_t> base = build(c);
    for (std::size_t shift = 0; shift < 64; ++shift) {
      // The data starts `shift` bytes into its allocation and ends with it.
      std::vector<uint8_t> holder(shift + base.size(), 0x10);
      if (!base.empty())
        std::memcpy(holder.data() + shift, base.data(), base.size());
      const std::span<const uint8_t> d(holder.data() + shift, base.size());
      for (CandidateKernel k : kKernels) {
        if (!candidate_kernel_available(k)) continue;
        for (CandidateFilter f : kFilters) {
          SCOPED_TRACE(testing::Message()
                       << c.name << " shift " << shift << " kernel "
                       << static_cast<int>(k) << " loose " << f.looseflags
                       << " packed " << f.packed);
          const std::size_t size = d.size();
          // Whole data, an end past it, and an end cutting off the tail.
          for (std::size_t end : {size, size + 100, size > 3 ? size - 3 : 0})
            ASSERT_EQ(cursor_all(d, 0, end, k, f), oracle_all(d, 0, end, f));
          for (std::size_t from = 0; from <= size + 1; from += 7)
            ASSERT_EQ(cursor_all(d, from, size, k, f),
                      oracle_all(d, from, size, f));
        }
      }
    }
  }
}

TEST(CandidateSearch, CursorKeepsItsContract) {
  std::vector<uint8_t> v(1000, 0);
  put_header(v, 5, 0x10);  // passes the header test, not the flags filter
  put_header(v, 300, 8);   // a CLUT length of 45 cannot be accepted
  v[308] = 45;
  put_header(v, 500, 8);
  v[508] = 44;
  put_header(v, 980, 2);  // the last offset with 20 bytes after it
  put_header(v, 990, 2);  // too close to the end for any TIM
  for (CandidateKernel k : kKernels) {
    if (!candidate_kernel_available(k)) continue;
    const auto first = [&](std::size_t from, std::size_t end) {
      return CandidateCursor(v, from, end, k).next();
    };
    EXPECT_EQ(first(0, 1000), 500u);
    EXPECT_EQ(first(501, 1000), 980u);
    EXPECT_EQ(first(981, 1000), 1000u);
    EXPECT_EQ(first(6, 500), 500u) << "`end` is returned when nothing is found";
    EXPECT_EQ(first(6, 400), 400u);
    EXPECT_EQ(first(981, 2000), 2000u);
  }
}

TEST(CandidateSearch, SseAndPortableAreBuiltAsConfigured) {
  EXPECT_TRUE(candidate_kernel_available(CandidateKernel::kPortable));
#if defined(VEXLO_HAVE_SSE2)
  EXPECT_TRUE(candidate_kernel_available(CandidateKernel::kSse2));
  EXPECT_NE(best_candidate_kernel(), CandidateKernel::kPortable);
#else
  EXPECT_EQ(best_candidate_kernel(), CandidateKernel::kPortable);
#endif
}

// A flags byte the filter drops must be one examine_offset rejects with any
// bytes after the header, and one it keeps must be accepted with some; with
// looseflags whatever flags bytes 1-3 hold.
TEST(CandidateSearch, FlagsFilterMatchesExamineOffset) {
  for (int f = 0; f < 256; ++f) {
    bool accepted = false, loose = false;
    for (uint32_t clut_len : {44u, 524u}) {
      std::vector<uint8_t> v(8 + 524 + 12 + 64, 0);
      put_header(v, 0, static_cast<uint8_t>(f), 0x53);
      std::size_t image = 8;
      if (f & 8) {
        v[8] = static_cast<uint8_t>(clut_len);
        v[9] = static_cast<uint8_t>(clut_len >> 8);
        image += clut_len;
      }
      v[image] = 12 + 12;  // image block length, 12 + 2 * w * h
      v[image + 8] = 6;    // w: non-zero width in every mode
      v[image + 10] = 1;   // h
      if (examine_offset(v, 0, {.looseflags = true})) {
        loose = true;
        EXPECT_TRUE(is_candidate(v.data(), {.looseflags = true})) << f;
      }
      v[5] = v[6] = v[7] = 0;
      accepted = accepted || examine_offset(v, 0, -1).has_value();
    }
    const auto flags = static_cast<uint8_t>(f);
    EXPECT_EQ(accepted, flags_can_pass(flags)) << f;
    EXPECT_EQ(loose, flags_can_pass(flags) || flags_without_palette(flags))
        << f;
  }
}

// Every CLUT length examine_offset accepts passes the scan filter.
TEST(CandidateSearch, ClutLengthFilterKeepsEveryAcceptedLength) {
  int accepted = 0;
  for (uint8_t flags : {0x08, 0x09}) {
    const uint32_t shift = flags == 0x08 ? 5 : 9;
    for (uint32_t len = 0; len < 3000; ++len) {
      std::vector<uint8_t> v(8 + len + 12 + 64, 0);
      put_header(v, 0, flags);
      v[8] = static_cast<uint8_t>(len);
      v[9] = static_cast<uint8_t>(len >> 8);
      const uint32_t rows = len >= 12 ? (len - 12) >> shift : 0;
      v[18] = static_cast<uint8_t>(rows);
      v[19] = static_cast<uint8_t>(rows >> 8);
      v[8 + len] = 12;      // image block length
      v[8 + len + 8] = 6;   // w
      v[8 + len + 10] = 1;  // h
      if (!examine_offset(v, 0, -1)) continue;
      ++accepted;
      EXPECT_TRUE(is_candidate(v.data())) << len;
    }
  }
  EXPECT_GT(accepted, 10);
}

// Buffers made mostly of 00 and 10 bytes hit often and at every alignment.
std::vector<uint8_t> hit_rich(std::size_t n, std::mt19937& rng) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    // Also CLUT flags and a CLUT length byte the scan filter keeps.
    const unsigned r = rng() % 16;
    b = r < 9    ? 0
        : r < 12 ? 0x10
        : r < 13 ? 0x08
        : r < 14 ? 44
                 : static_cast<uint8_t>(rng());
  }
  return v;
}

// Hit-rich buffers with the first bytes of packed headers sprinkled in,
// often followed by a byte that completes a pair.
std::vector<uint8_t> pair_rich(std::size_t n, std::mt19937& rng) {
  static const uint8_t kBytes[] = {0x10, 0x11, 0x90, 0x91, 0xFB, 0x78, 0x01,
                                   0x5E, 0x9C, 0xDA, 0x1F, 0x8B, 'L',  'Z',
                                   'n',  'a',  'U',  'l',  '@',  '(',  'S',
                                   '0',  '1',  'P',  'A',  0x33, 0x3C};
  std::vector<uint8_t> v = hit_rich(n, rng);
  for (auto& b : v)
    if (rng() % 3 == 0) b = kBytes[rng() % sizeof kBytes];
  return v;
}

TEST(CandidateSearch, RandomizedKernelsAgreeOverMillionsOfOffsets) {
  std::mt19937 rng(20240607);
  std::size_t offsets = 0;
  while (offsets < 4'000'000) {
    const std::size_t n = 1 + rng() % 70000;
    std::vector<uint8_t> v =
        offsets % 2 == 0 ? hit_rich(n, rng) : pair_rich(n, rng);
    for (CandidateFilter f : kFilters) {
      const auto want = oracle_all(v, 0, n, f);
      for (CandidateKernel k : kKernels) {
        if (!candidate_kernel_available(k)) continue;
        ASSERT_EQ(cursor_all(v, 0, n, k, f), want)
            << "size " << n << " kernel " << static_cast<int>(k) << " loose "
            << f.looseflags;
      }
    }
    offsets += n;
  }
  // Random starts and ends.
  std::vector<uint8_t> v = pair_rich(100000, rng);
  for (int i = 0; i < 20000; ++i) {
    const std::size_t from = rng() % 100010;
    const std::size_t end = from + rng() % 300;
    for (CandidateFilter f : kFilters) {
      const std::size_t want = oracle_next(v, from, end, f);
      for (CandidateKernel k : kKernels) {
        if (candidate_kernel_available(k)) {
          ASSERT_EQ(CandidateCursor(v, from, end, k, f).next(), want);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vexlo
