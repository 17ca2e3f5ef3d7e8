#include "scan/candidate.h"

#include <bit>
#include <cstring>
#include <initializer_list>

#ifdef VEXLO_HAVE_SSE2
#include <immintrin.h>
#endif

namespace vexlo {

namespace {

// A block is the 64 offsets [b, b + 64). Deciding all of them needs the
// bytes up to b + 63 + kCandidateBytes, so a block is only taken by a kernel
// when that much data follows it; no vector load reaches further (the
// farthest, at b + 32 + 19, ends at b + 82). The rest of the data goes
// through the per-offset test.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kBlockReach = kBlock + kCandidateBytes - 1;
static_assert(kBlockReach >= 32 + 19 + 32);

// Kernels are instantiated per filter, so the documented search pays nothing
// for the looser one or for packed headers.
template <bool kLoose, bool kPacked>
uint64_t block_mask_portable(const uint8_t* p, std::size_t n) {
  uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (is_candidate(p + i, {.looseflags = kLoose}) ||
        (kPacked && is_packed_candidate(p + i, kPackedLookBytes)))
      m |= uint64_t{1} << i;
  return m;
}

// Of the pairs `m` of the block at p, the headers whose first bytes pass:
// about one block in 24 of random data has a pair, and a few in a hundred
// of those pass. Every offset of a kernel's block has kPackedLookBytes
// bytes after it.
static_assert(kBlockReach - (kBlock - 1) >= kPackedLookBytes);
inline uint64_t plausible_headers(const uint8_t* p, uint64_t m) {
  for (uint64_t t = m; t != 0; t &= t - 1) {
    const int i = std::countr_zero(t);
    if (!packed_pair_exact(p[i], p[i + 1]) ||
        !packed_header_plausible(p + i, kPackedLookBytes))
      m &= ~(uint64_t{1} << i);
  }
  return m;
}

// The first n offsets at p, with `avail` bytes from p to the end of the data.
uint64_t block_mask(const uint8_t* p, std::size_t n, std::size_t avail,
                    CandidateFilter filter) {
  uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (is_candidate_at(p + i, avail - i, filter)) m |= uint64_t{1} << i;
  return m;
}

// Each kernel returns the first block start b in pos, pos + 64, ... with
// b <= last whose mask is not zero, and that mask; or a start past `last`
// and 0. The caller guarantees last + kBlockReach <= size of the data.
template <bool kLoose, bool kPacked>
std::size_t scan_blocks_portable(const uint8_t* data, std::size_t pos,
                                 std::size_t last, uint64_t* mask) {
  if constexpr (kPacked) {
    // Packed headers start with a dozen different bytes: no memchr.
    for (; pos <= last; pos += kBlock) {
      if (const uint64_t m =
              block_mask_portable<kLoose, true>(data + pos, kBlock)) {
        *mask = m;
        return pos;
      }
    }
    *mask = 0;
    return pos;
  }
  const std::size_t limit = last + kBlock;  // first bytes of the blocks
  while (pos <= last) {
    // Every candidate starts with 0x10; memchr finds the next one fast.
    const void* hit = std::memchr(data + pos, 0x10, limit - pos);
    if (hit == nullptr) break;
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - data);
    pos += (at - pos) / kBlock * kBlock;
    if (pos > last) break;  // the 0x10 lies in the tail after the last block
    const uint64_t m = block_mask_portable<kLoose, false>(data + pos, kBlock);
    if (m != 0) {
      *mask = m;
      return pos;
    }
    pos += kBlock;
  }
  *mask = 0;
  return last + 1;
}

#ifdef VEXLO_HAVE_SSE2

// The vector kernels test 16 or 32 offsets at once with loads at +0 to +19,
// each lane following is_candidate.

inline __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i flags_ok_sse2(__m128i v) {
  const __m128i t = _mm_and_si128(v, _mm_set1_epi8(0x0F));
  const __m128i u = _mm_or_si128(t, _mm_set1_epi8(1));
  return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(u, _mm_set1_epi8(3)),
                                   _mm_cmpeq_epi8(u, _mm_set1_epi8(9))),
                      _mm_cmpeq_epi8(t, _mm_set1_epi8(12)));
}

// Lanes of the flags byte (offset + 4) that flags_can_pass.
inline __m128i flags_lanes_sse2(const uint8_t* p) {
  return flags_ok_sse2(load16(p + 4));
}

// Lanes whose flags byte is flags_without_palette.
inline __m128i no_palette_flags_sse2(const uint8_t* p) {
  return _mm_cmpeq_epi8(_mm_and_si128(load16(p + 4), _mm_set1_epi8(0x0E)),
                        _mm_setzero_si128());
}

// Lanes where both bytes at +a and +a+1 are zero.
inline __m128i zero_u16_sse2(const uint8_t* p, int a) {
  return _mm_cmpeq_epi8(_mm_or_si128(load16(p + a), load16(p + a + 1)),
                        _mm_setzero_si128());
}

// Lanes j of the 16 offsets at p that are candidates.
template <bool kLoose>
inline __m128i exact_sse2(const uint8_t* p) {
  const __m128i k0 = _mm_setzero_si128();
  __m128i id = _mm_and_si128(_mm_cmpeq_epi8(load16(p + 1), k0),
                             _mm_cmpeq_epi8(load16(p + 2), k0));
  id = _mm_and_si128(id, _mm_cmpeq_epi8(load16(p + 3), k0));
  id = _mm_and_si128(id, _mm_cmpeq_epi8(load16(p), _mm_set1_epi8(0x10)));
  if constexpr (!kLoose) {
    id = _mm_and_si128(id, _mm_cmpeq_epi8(load16(p + 5), k0));
    id = _mm_and_si128(id, _mm_cmpeq_epi8(load16(p + 6), k0));
    id = _mm_and_si128(id, _mm_cmpeq_epi8(load16(p + 7), k0));
  }
  // No CLUT bit, or a CLUT length of 32 k + 12.
  const __m128i f8 = _mm_and_si128(load16(p + 4), _mm_set1_epi8(8));
  const __m128i len = _mm_and_si128(load16(p + 8), _mm_set1_epi8(0x1F));
  __m128i pass =
      _mm_and_si128(flags_lanes_sse2(p),
                    _mm_or_si128(_mm_cmpeq_epi8(f8, k0),
                                 _mm_cmpeq_epi8(len, _mm_set1_epi8(12))));
  if constexpr (kLoose) {
    // No palette: an even image length, w and h not zero.
    const __m128i even =
        _mm_cmpeq_epi8(_mm_and_si128(load16(p + 8), _mm_set1_epi8(1)), k0);
    __m128i np = _mm_and_si128(no_palette_flags_sse2(p), even);
    np = _mm_andnot_si128(zero_u16_sse2(p, 16), np);
    np = _mm_andnot_si128(zero_u16_sse2(p, 18), np);
    pass = _mm_or_si128(pass, np);
  }
  return _mm_and_si128(id, pass);
}

// Lanes of the 16 offsets at p that begin with 10 00.
inline __m128i id_sse2(const uint8_t* p) {
  return _mm_and_si128(_mm_cmpeq_epi8(load16(p), _mm_set1_epi8(0x10)),
                       _mm_cmpeq_epi8(load16(p + 1), _mm_setzero_si128()));
}

// A quick first look at 16 offsets: 10 00 and a flags byte that can pass
// (without a palette, also an h that is not zero).
template <bool kLoose>
inline __m128i quick_sse2(const uint8_t* p) {
  const __m128i t = id_sse2(p);
  __m128i f = flags_lanes_sse2(p);
  if constexpr (kLoose)
    f = _mm_or_si128(
        f, _mm_andnot_si128(zero_u16_sse2(p, 18), no_palette_flags_sse2(p)));
  return _mm_and_si128(t, f);
}

inline uint64_t bits16(__m128i v) {
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v)));
}

inline __m128i any_of_sse2(__m128i v, std::initializer_list<uint8_t> bytes) {
  __m128i m = _mm_setzero_si128();
  for (uint8_t b : bytes)
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(b))));
  return m;
}

// Offsets of the 64 at p whose pairs pass packed_pair_candidate. SSE2 has no
// byte shuffle for the nibble tables: a superset by first bytes and most
// second bytes (zlib's 78 passes with any), then the exact test per hit.
inline uint64_t packed_bits_sse2(const uint8_t* p) {
  uint64_t m = 0;
  for (int i = 0; i < 64; i += 16) {
    const __m128i a = load16(p + i), b = load16(p + i + 1);
    const __m128i zlib = _mm_cmpeq_epi8(a, _mm_set1_epi8(0x78));
    const __m128i first = _mm_or_si128(
        _mm_or_si128(zlib, any_of_sse2(a, {0x4C, 0x6E, 0x55, 0x40, 0x53, 0x50,
                                           0x33, 0x30, 0x1F})),
        _mm_cmpeq_epi8(_mm_and_si128(a, _mm_set1_epi8(0x7E)),
                       _mm_set1_epi8(0x10)));
    const __m128i second =
        _mm_or_si128(zlib, any_of_sse2(b, {0x5A, 0x61, 0x6C, 0x4C, 0x28, 0x41,
                                           0x3C, 0x31, 0xFB, 0x8B}));
    m |= bits16(_mm_and_si128(first, second)) << i;
  }
  for (uint64_t t = m; t != 0; t &= t - 1) {
    const int i = std::countr_zero(t);
    if (!packed_pair_candidate(p[i], p[i + 1])) m &= ~(uint64_t{1} << i);
  }
  return plausible_headers(p, m);
}

template <bool kLoose, bool kPacked>
std::size_t scan_blocks_sse2(const uint8_t* data, std::size_t pos,
                             std::size_t last, uint64_t* mask) {
  for (; pos <= last; pos += kBlock) {
    const uint8_t* p = data + pos;
    uint64_t m = 0;
    if constexpr (kPacked) m = packed_bits_sse2(p);
    // This loop runs once per 64 bytes of input: test only 10 00 and the
    // flags byte first, which random data almost never has. The looser
    // flags test costs more: 10 00 alone goes before it.
    if constexpr (kLoose) {
      const __m128i a = _mm_or_si128(id_sse2(p), id_sse2(p + 16));
      const __m128i b = _mm_or_si128(id_sse2(p + 32), id_sse2(p + 48));
      if (_mm_movemask_epi8(_mm_or_si128(a, b)) == 0) {
        if (m == 0) continue;
        *mask = m;
        return pos;
      }
    }
    __m128i q = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16)
      q = _mm_or_si128(q, quick_sse2<kLoose>(p + i));
    if (_mm_movemask_epi8(q) != 0)
      for (int i = 0; i < 64; i += 16)
        m |= bits16(exact_sse2<kLoose>(p + i)) << i;
    if (m != 0) {
      *mask = m;
      return pos;
    }
  }
  *mask = 0;
  return pos;
}

#endif  // VEXLO_HAVE_SSE2

#ifdef VEXLO_HAVE_AVX2

#define VEXLO_AVX2 __attribute__((target("avx2")))

VEXLO_AVX2 inline __m256i load32(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Lanes of the flags byte (offset + 4) that flags_can_pass.
VEXLO_AVX2 inline __m256i flags_lanes_avx2(const uint8_t* p) {
  const __m256i t = _mm256_and_si256(load32(p + 4), _mm256_set1_epi8(0x0F));
  const __m256i u = _mm256_or_si256(t, _mm256_set1_epi8(1));
  return _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpeq_epi8(u, _mm256_set1_epi8(3)),
                      _mm256_cmpeq_epi8(u, _mm256_set1_epi8(9))),
      _mm256_cmpeq_epi8(t, _mm256_set1_epi8(12)));
}

// Lanes where both bytes at +a and +a+1 are zero.
VEXLO_AVX2 inline __m256i zero_u16_avx2(const uint8_t* p, int a) {
  return _mm256_cmpeq_epi8(_mm256_or_si256(load32(p + a), load32(p + a + 1)),
                           _mm256_setzero_si256());
}

// Lanes of the 32 offsets at p that begin with 10 00.
VEXLO_AVX2 inline __m256i id_avx2(const uint8_t* p) {
  return _mm256_and_si256(
      _mm256_cmpeq_epi8(load32(p), _mm256_set1_epi8(0x10)),
      _mm256_cmpeq_epi8(load32(p + 1), _mm256_setzero_si256()));
}

// For the looser filter, the flags byte's low nibble looked up: 0x80 when it
// passes flags_can_pass, 0x40 when it is flags_without_palette, else 0.
VEXLO_AVX2 inline __m256i flag_kinds_avx2(const uint8_t* p) {
  const __m256i table = _mm256_setr_epi8(
      0x40, 0x40, -128, -128, 0, 0, 0, 0, -128, -128, 0, 0, -128, 0, 0, 0, 0x40,
      0x40, -128, -128, 0, 0, 0, 0, -128, -128, 0, 0, -128, 0, 0, 0);
  return _mm256_shuffle_epi8(
      table, _mm256_and_si256(load32(p + 4), _mm256_set1_epi8(0x0F)));
}

// Lanes j of the 32 offsets at p that are candidates (bit 7 of each lane).
template <bool kLoose>
VEXLO_AVX2 inline __m256i exact_avx2(const uint8_t* p) {
  const __m256i k0 = _mm256_setzero_si256();
  __m256i id = _mm256_and_si256(_mm256_cmpeq_epi8(load32(p + 1), k0),
                                _mm256_cmpeq_epi8(load32(p + 2), k0));
  id = _mm256_and_si256(id, _mm256_cmpeq_epi8(load32(p + 3), k0));
  id = _mm256_and_si256(id,
                        _mm256_cmpeq_epi8(load32(p), _mm256_set1_epi8(0x10)));
  // No CLUT bit, or a CLUT length of 32 k + 12.
  const __m256i f8 = _mm256_and_si256(load32(p + 4), _mm256_set1_epi8(8));
  const __m256i len = _mm256_and_si256(load32(p + 8), _mm256_set1_epi8(0x1F));
  const __m256i clut_ok = _mm256_or_si256(
      _mm256_cmpeq_epi8(f8, k0), _mm256_cmpeq_epi8(len, _mm256_set1_epi8(12)));
  if constexpr (!kLoose) {
    id = _mm256_and_si256(id, _mm256_cmpeq_epi8(load32(p + 5), k0));
    id = _mm256_and_si256(id, _mm256_cmpeq_epi8(load32(p + 6), k0));
    id = _mm256_and_si256(id, _mm256_cmpeq_epi8(load32(p + 7), k0));
    return _mm256_and_si256(id, _mm256_and_si256(flags_lanes_avx2(p), clut_ok));
  }
  // 0x80 kinds need clut_ok; 0x40 kinds, moved to bit 7, need no palette:
  // an even image length, w and h not zero. Most data has none of those.
  const __m256i kind = flag_kinds_avx2(p);
  __m256i pass = _mm256_and_si256(kind, clut_ok);
  const __m256i np_kind =
      _mm256_and_si256(_mm256_add_epi8(kind, kind), _mm256_set1_epi8(-128));
  if (!_mm256_testz_si256(np_kind, id)) {
    const __m256i even = _mm256_cmpeq_epi8(
        _mm256_and_si256(load32(p + 8), _mm256_set1_epi8(1)), k0);
    const __m256i np = _mm256_andnot_si256(
        zero_u16_avx2(p, 16), _mm256_andnot_si256(zero_u16_avx2(p, 18), even));
    pass = _mm256_or_si256(pass, _mm256_and_si256(np_kind, np));
  }
  return _mm256_and_si256(id, pass);
}

// As quick_sse2, for 32 offsets; only bit 7 of each lane counts.
template <bool kLoose>
VEXLO_AVX2 inline __m256i quick_avx2(const uint8_t* p) {
  const __m256i t = id_avx2(p);
  if constexpr (!kLoose) return _mm256_and_si256(t, flags_lanes_avx2(p));
  // Without a palette only where h is not zero: 0x40 moves to bit 7.
  const __m256i kind = flag_kinds_avx2(p);
  const __m256i h = _mm256_andnot_si256(zero_u16_avx2(p, 18), kind);
  const __m256i pass = _mm256_or_si256(kind, _mm256_add_epi8(h, h));
  return _mm256_and_si256(_mm256_and_si256(t, pass), _mm256_set1_epi8(-128));
}

VEXLO_AVX2 inline uint64_t bits32(__m256i v) {
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(v)));
}

VEXLO_AVX2 inline __m256i table_avx2(const packed_pairs::Table& t) {
  return _mm256_broadcastsi128_si256(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.v)));
}

// The header groups whose first byte (or second) the bytes of v can be.
VEXLO_AVX2 inline __m256i groups_avx2(__m256i v, __m256i lo_table,
                                      __m256i hi_table) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  return _mm256_and_si256(
      _mm256_shuffle_epi8(lo_table, _mm256_and_si256(v, nibble)),
      _mm256_shuffle_epi8(hi_table,
                          _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble)));
}

// Offsets of the 32 at p whose pairs pass packed_pair_candidate: four
// shuffles of the nibble tables.
VEXLO_AVX2 inline uint64_t packed_bits_avx2(const uint8_t* p) {
  const __m256i first = groups_avx2(load32(p), table_avx2(kPackedFirstLo),
                                    table_avx2(kPackedFirstHi));
  const __m256i second = groups_avx2(load32(p + 1), table_avx2(kPackedSecondLo),
                                     table_avx2(kPackedSecondHi));
  return ~bits32(_mm256_cmpeq_epi8(_mm256_and_si256(first, second),
                                   _mm256_setzero_si256())) &
         0xFFFFFFFFu;
}

template <bool kLoose, bool kPacked>
VEXLO_AVX2 std::size_t scan_blocks_avx2(const uint8_t* data, std::size_t pos,
                                        std::size_t last, uint64_t* mask) {
  for (; pos <= last; pos += kBlock) {
    const uint8_t* p = data + pos;
    uint64_t m = 0;
    if constexpr (kPacked) {
      m = packed_bits_avx2(p) | (packed_bits_avx2(p + 32) << 32);
      if (m != 0) m = plausible_headers(p, m);
    }
    // As in the SSE2 kernel: 10 00 and the flags byte first.
    bool tims = true;
    if constexpr (kLoose) {
      const __m256i a = _mm256_or_si256(id_avx2(p), id_avx2(p + 32));
      tims = !_mm256_testz_si256(a, a);
    }
    if (tims) {
      const __m256i q =
          _mm256_or_si256(quick_avx2<kLoose>(p), quick_avx2<kLoose>(p + 32));
      if (!_mm256_testz_si256(q, q))
        m |= bits32(exact_avx2<kLoose>(p)) |
             (bits32(exact_avx2<kLoose>(p + 32)) << 32);
    }
    if (m != 0) {
      *mask = m;
      return pos;
    }
  }
  *mask = 0;
  return pos;
}

#endif  // VEXLO_HAVE_AVX2

#ifdef VEXLO_HAVE_AVX512

#define VEXLO_AVX512 __attribute__((target("avx512f,avx512bw")))

VEXLO_AVX512 inline __m512i load64(const uint8_t* p) {
  return _mm512_loadu_si512(p);
}

// Offsets of the 64 at p whose bytes at +a are `v`, among those in `m`.
VEXLO_AVX512 inline __mmask64 eq_at(__mmask64 m, const uint8_t* p, int a,
                                    char v) {
  return _mm512_mask_cmpeq_epi8_mask(m, load64(p + a), _mm512_set1_epi8(v));
}

// Offsets of the 64 at p that begin with 10 00: the first look, which
// random data almost never passes.
VEXLO_AVX512 inline __mmask64 id_avx512(const uint8_t* p) {
  return eq_at(_mm512_cmpeq_epi8_mask(load64(p), _mm512_set1_epi8(0x10)), p, 1,
               0);
}

// The candidates among the offsets `id` of the 64 at p, which begin with
// 10 00. With mask registers the whole test costs a few instructions per
// byte of a block that has such an offset.
template <bool kLoose>
VEXLO_AVX512 inline __mmask64 exact_avx512(const uint8_t* p, __mmask64 id) {
  // The flags byte's low nibble looked up, as in flag_kinds_avx2, first:
  // data of 10 00 00 00 words fails there. Bytes 40 40 80 80, 00 00 00 00,
  // 80 80 00 00, 80 00 00 00 in each 16-byte lane.
  const __m512i table =
      _mm512_set4_epi32(0x80, 0x8080, 0, static_cast<int>(0x80804040u));
  const __m512i flags = load64(p + 4);
  const __m512i kind = _mm512_shuffle_epi8(
      table, _mm512_and_si512(flags, _mm512_set1_epi8(0x0F)));
  id = _mm512_mask_test_epi8_mask(
      id, kind, _mm512_set1_epi8(static_cast<char>(kLoose ? 0xC0 : 0x80)));
  id = eq_at(eq_at(id, p, 2, 0), p, 3, 0);
  if constexpr (!kLoose)
    id = eq_at(eq_at(eq_at(id, p, 5, 0), p, 6, 0), p, 7, 0);
  if (id == 0) return 0;
  // No CLUT bit, or a CLUT length of 32 k + 12.
  const __m512i len = load64(p + 8);
  const __mmask64 clut_ok =
      _mm512_testn_epi8_mask(flags, _mm512_set1_epi8(8)) |
      _mm512_cmpeq_epi8_mask(_mm512_and_si512(len, _mm512_set1_epi8(0x1F)),
                             _mm512_set1_epi8(12));
  __mmask64 pass =
      _mm512_mask_test_epi8_mask(clut_ok, kind, _mm512_set1_epi8(-128));
  if constexpr (kLoose) {
    // No palette: an even image length, w and h not zero.
    __mmask64 np = _mm512_mask_test_epi8_mask(id, kind, _mm512_set1_epi8(0x40));
    if (np != 0) {
      np = _mm512_mask_testn_epi8_mask(np, len, _mm512_set1_epi8(1));
      const __m512i w = _mm512_or_si512(load64(p + 16), load64(p + 17));
      const __m512i h = _mm512_or_si512(load64(p + 18), load64(p + 19));
      np = _mm512_mask_test_epi8_mask(np, w, w);
      np = _mm512_mask_test_epi8_mask(np, h, h);
      pass |= np;
    }
  }
  return id & pass;
}

// What one aligned look at 64 bytes tells, one bit per byte: 0x10, zero,
// and a flags byte the filter can keep.
struct ByteClasses {
  uint64_t ten, zero, flags;
};

template <bool kLoose>
VEXLO_AVX512 inline ByteClasses classes_avx512(const uint8_t* p) {
  const __m512i v = load64(p);
  const __m512i table =
      _mm512_set4_epi32(0x80, 0x8080, 0, static_cast<int>(0x80804040u));
  const __m512i kind =
      _mm512_shuffle_epi8(table, _mm512_and_si512(v, _mm512_set1_epi8(0x0F)));
  return {_mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(0x10)),
          _mm512_testn_epi8_mask(v, v),
          _mm512_test_epi8_mask(
              kind, _mm512_set1_epi8(static_cast<char>(kLoose ? 0xC0 : 0x80)))};
}

// The bits of the offsets n bytes on: `lo` of this block, `hi` of the next.
inline uint64_t ahead(uint64_t lo, uint64_t hi, int n) {
  return (lo >> n) | (hi << (64 - n));
}

// Bytes whose low nibble is flags_without_palette.
VEXLO_AVX512 inline __mmask64 no_palette_avx512(__m512i x) {
  const __m512i table =
      _mm512_set4_epi32(0x80, 0x8080, 0, static_cast<int>(0x80804040u));
  const __m512i kind =
      _mm512_shuffle_epi8(table, _mm512_and_si512(x, _mm512_set1_epi8(0x0F)));
  return _mm512_test_epi8_mask(kind, _mm512_set1_epi8(0x40));
}

// Bytes that pass clut_length_can_pass.
VEXLO_AVX512 inline __mmask64 length_ok_avx512(__m512i x) {
  return _mm512_cmpeq_epi8_mask(_mm512_and_si512(x, _mm512_set1_epi8(0x1F)),
                                _mm512_set1_epi8(12));
}

// The candidates among the offsets `id` of the block at p, which begin with
// 10 00 and have a flags byte that can pass, from the classes of this block
// and the next: the rest of the test is on bytes 2-19, also in reach of
// shifts.
template <bool kLoose>
VEXLO_AVX512 inline uint64_t finish_avx512(const uint8_t* p, uint64_t id,
                                           const ByteClasses& cur,
                                           const ByteClasses& next) {
  id &= ahead(cur.zero, next.zero, 2) & ahead(cur.zero, next.zero, 3);
  if constexpr (!kLoose)
    id &= ahead(cur.zero, next.zero, 5) & ahead(cur.zero, next.zero, 6) &
          ahead(cur.zero, next.zero, 7);
  if (id == 0) return 0;
  const __m512i v = load64(p), w = load64(p + kBlock);
  uint64_t no_palette = 0;
  if constexpr (kLoose) {
    // Without a palette: an even image length at +8, w at +16 and h at +18
    // not zero.
    const uint64_t np =
        id & ahead(no_palette_avx512(v), no_palette_avx512(w), 4);
    if (np != 0) {
      const __m512i one = _mm512_set1_epi8(1);
      const uint64_t even = ahead(_mm512_testn_epi8_mask(v, one),
                                  _mm512_testn_epi8_mask(w, one), 8);
      auto some = [&](int n) {
        return ~ahead(cur.zero, next.zero, n) |
               ~ahead(cur.zero, next.zero, n + 1);
      };
      no_palette = np & even & some(16) & some(18);
      id &= ~np;
    }
  }
  // Here every flags byte of `id` has a low nibble of 2, 3, 8, 9 or C: no
  // CLUT bit, or a CLUT length of 32 k + 12.
  const __m512i bit3 = _mm512_set1_epi8(8);
  const uint64_t no_clut = ahead(_mm512_testn_epi8_mask(v, bit3),
                                 _mm512_testn_epi8_mask(w, bit3), 4);
  return no_palette |
         (id & (no_clut | ahead(length_ok_avx512(v), length_ok_avx512(w), 8)));
}

constexpr int table_word(const packed_pairs::Table& t, int i) {
  return static_cast<int>(uint32_t{t.v[4 * i]} | uint32_t{t.v[4 * i + 1]} << 8 |
                          uint32_t{t.v[4 * i + 2]} << 16 |
                          uint32_t{t.v[4 * i + 3]} << 24);
}

VEXLO_AVX512 inline __m512i table_avx512(const packed_pairs::Table& t) {
  return _mm512_set4_epi32(table_word(t, 3), table_word(t, 2), table_word(t, 1),
                           table_word(t, 0));
}

VEXLO_AVX512 inline __m512i groups_avx512(__m512i v, __m512i lo_table,
                                          __m512i hi_table) {
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  return _mm512_and_si512(
      _mm512_shuffle_epi8(lo_table, _mm512_and_si512(v, nibble)),
      _mm512_shuffle_epi8(hi_table,
                          _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble)));
}

// The header groups each byte of 64 can be the first byte of, and the
// second.
struct PairGroups {
  __m512i first, second;
};

VEXLO_AVX512 inline PairGroups pair_groups_avx512(const uint8_t* p) {
  const __m512i v = load64(p);
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i lo = _mm512_and_si512(v, nibble);
  const __m512i hi = _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble);
  return {
      _mm512_and_si512(_mm512_shuffle_epi8(table_avx512(kPackedFirstLo), lo),
                       _mm512_shuffle_epi8(table_avx512(kPackedFirstHi), hi)),
      _mm512_and_si512(_mm512_shuffle_epi8(table_avx512(kPackedSecondLo), lo),
                       _mm512_shuffle_epi8(table_avx512(kPackedSecondHi), hi))};
}

// Offsets of the 64 of `cur` whose pairs pass packed_pair_candidate: each
// byte's first groups against the next byte's second groups, moved down a
// byte with the next block's first byte shifted in.
VEXLO_AVX512 inline uint64_t pair_bits_avx512(const PairGroups& cur,
                                              const PairGroups& next) {
  const __m512i ahead16 =
      _mm512_maskz_alignr_epi32(0xFFFF, next.second, cur.second, 4);
  return _mm512_test_epi8_mask(cur.first,
                               _mm512_alignr_epi8(ahead16, cur.second, 1));
}

// The same with loads at p and p + 1, for blocks near the end of the data.
VEXLO_AVX512 inline uint64_t packed_bits_avx512(const uint8_t* p) {
  return _mm512_test_epi8_mask(pair_groups_avx512(p).first,
                               pair_groups_avx512(p + 1).second);
}

template <bool kLoose, bool kPacked>
VEXLO_AVX512 std::size_t scan_blocks_avx512(const uint8_t* data,
                                            std::size_t pos, std::size_t last,
                                            uint64_t* mask) {
  // Each 64 bytes are loaded once and classified; an offset whose byte is
  // 0x10, whose next is zero and whose flags byte can pass is found with
  // shifts of those masks, carried over from the next block. Most data has
  // none, and only blocks that do are tested in full. The next block's load
  // reaches pos + 128, which blocks up to last - 45 may make.
  constexpr std::size_t kAhead = 2 * kBlock - kBlockReach;
  if (pos + kAhead <= last) {
    ByteClasses cur = classes_avx512<kLoose>(data + pos);
    PairGroups pairs;
    if constexpr (kPacked) pairs = pair_groups_avx512(data + pos);
    for (; pos + kAhead <= last; pos += kBlock) {
      const ByteClasses next = classes_avx512<kLoose>(data + pos + kBlock);
      const uint64_t id = cur.ten & ahead(cur.zero, next.zero, 1) &
                          ahead(cur.flags, next.flags, 4);
      uint64_t m = 0;
      if constexpr (kPacked) {
        // Packed headers ride on the same loads: the bytes' header groups,
        // carried over like the classes.
        const PairGroups next_pairs = pair_groups_avx512(data + pos + kBlock);
        m = pair_bits_avx512(pairs, next_pairs);
        if (m != 0) m = plausible_headers(data + pos, m);
        pairs = next_pairs;
      }
      if (id != 0) m |= finish_avx512<kLoose>(data + pos, id, cur, next);
      if (m != 0) {
        *mask = m;
        return pos;
      }
      cur = next;
    }
  }
  for (; pos <= last; pos += kBlock) {
    const uint8_t* p = data + pos;
    const __mmask64 id = id_avx512(p);
    __mmask64 m = id == 0 ? 0 : exact_avx512<kLoose>(p, id);
    if constexpr (kPacked) {
      const uint64_t pm = packed_bits_avx512(p);
      if (pm != 0) m |= plausible_headers(p, pm);
    }
    if (m != 0) {
      *mask = m;
      return pos;
    }
  }
  *mask = 0;
  return pos;
}

#endif  // VEXLO_HAVE_AVX512

}  // namespace

bool candidate_kernel_available(CandidateKernel k) {
  switch (k) {
    case CandidateKernel::kPortable:
      return true;
    case CandidateKernel::kSse2:
#ifdef VEXLO_HAVE_SSE2
      return true;
#else
      return false;
#endif
    case CandidateKernel::kAvx2:
#ifdef VEXLO_HAVE_AVX2
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
    case CandidateKernel::kAvx512:
#ifdef VEXLO_HAVE_AVX512
      // Also checks that the system saves the AVX-512 registers.
      return __builtin_cpu_supports("avx512bw") != 0;
#else
      return false;
#endif
  }
  return false;
}

CandidateKernel best_candidate_kernel() {
  static const CandidateKernel best =
      candidate_kernel_available(CandidateKernel::kAvx512)
          ? CandidateKernel::kAvx512
      : candidate_kernel_available(CandidateKernel::kAvx2)
          ? CandidateKernel::kAvx2
      : candidate_kernel_available(CandidateKernel::kSse2)
          ? CandidateKernel::kSse2
          : CandidateKernel::kPortable;
  return best;
}

namespace {

using ScanBlocks = std::size_t (*)(const uint8_t*, std::size_t, std::size_t,
                                   uint64_t*);

template <bool kLoose, bool kPacked>
ScanBlocks pick_kernel(CandidateKernel kernel) {
  switch (kernel) {
#ifdef VEXLO_HAVE_AVX512
    case CandidateKernel::kAvx512:
      return scan_blocks_avx512<kLoose, kPacked>;
#endif
#ifdef VEXLO_HAVE_AVX2
    case CandidateKernel::kAvx2:
      return scan_blocks_avx2<kLoose, kPacked>;
#endif
#ifdef VEXLO_HAVE_SSE2
    case CandidateKernel::kSse2:
      return scan_blocks_sse2<kLoose, kPacked>;
#endif
    default:
      return scan_blocks_portable<kLoose, kPacked>;
  }
}

ScanBlocks pick_kernel(CandidateKernel kernel, CandidateFilter f) {
  if (f.packed)
    return f.looseflags ? pick_kernel<true, true>(kernel)
                        : pick_kernel<false, true>(kernel);
  return f.looseflags ? pick_kernel<true, false>(kernel)
                      : pick_kernel<false, false>(kernel);
}

}  // namespace

CandidateCursor::CandidateCursor(std::span<const uint8_t> data,
                                 std::size_t from, std::size_t end,
                                 CandidateKernel kernel, CandidateFilter filter)
    : data_(data.data()),
      size_(data.size()),
      end_(end),
      stop_(0),
      block_(from),
      next_block_(from),
      filter_(filter) {
  if (!candidate_kernel_available(kernel)) kernel = CandidateKernel::kPortable;
  scan_blocks_ = pick_kernel(kernel, filter);
  // Packed headers are looked for wherever two bytes are left.
  const std::size_t need = filter.packed ? kPackedPairBytes : kCandidateBytes;
  if (size_ >= need) {
    const std::size_t starts = size_ - need + 1;
    stop_ = end < starts ? end : starts;
  }
}

bool CandidateCursor::refill() {
  if (next_block_ >= stop_) return false;
  if (size_ >= kBlockReach && next_block_ <= size_ - kBlockReach) {
    // Blocks wholly before stop_ or the one holding it; bits past stop_ are
    // cleared below.
    std::size_t last = size_ - kBlockReach;
    if (last > stop_ - 1) last = stop_ - 1;
    uint64_t m = 0;
    const std::size_t b = scan_blocks_(data_, next_block_, last, &m);
    if (m != 0) {
      if (stop_ - b < kBlock) m &= (uint64_t{1} << (stop_ - b)) - 1;
      block_ = b;
      next_block_ = b + kBlock;
      mask_ = m;
      return true;
    }
    next_block_ = b;
    if (next_block_ >= stop_) return false;
  }
  // Too few bytes left for a kernel: one offset at a time.
  const std::size_t left = stop_ - next_block_;
  const std::size_t n = left < kBlock ? left : kBlock;
  block_ = next_block_;
  mask_ = block_mask(data_ + block_, n, size_ - block_, filter_);
  next_block_ = block_ + n;
  return true;
}

}  // namespace vexlo
