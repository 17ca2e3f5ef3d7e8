#include "scan/candidate.h"

#include <cstring>

#ifdef VEXLO_HAVE_SSE2
#include <immintrin.h>
#endif

namespace vexlo {

namespace {

// A block is the 64 offsets [b, b + 64). Deciding all of them needs the
// bytes up to b + 63 + kCandidateBytes, so a block is only taken by a kernel
// when that much data follows it; no vector load reaches further (the
// farthest, at b + 32 + 8, ends at b + 71). The rest of the data goes
// through the per-offset test.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kBlockReach = kBlock + kCandidateBytes - 1;
static_assert(kBlockReach >= 72);

uint64_t block_mask_portable(const uint8_t* p, std::size_t n) {
  uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (is_candidate(p + i)) m |= uint64_t{1} << i;
  return m;
}

// Each kernel returns the first block start b in pos, pos + 64, ... with
// b <= last whose mask is not zero, and that mask; or a start past `last`
// and 0. The caller guarantees last + kBlockReach <= size of the data.
std::size_t scan_blocks_portable(const uint8_t* data, std::size_t pos,
                                 std::size_t last, uint64_t* mask) {
  const std::size_t limit = last + kBlock;  // first bytes of the blocks
  while (pos <= last) {
    // Every candidate starts with 0x10; memchr finds the next one fast.
    const void* hit = std::memchr(data + pos, 0x10, limit - pos);
    if (hit == nullptr) break;
    const std::size_t at =
        static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - data);
    pos += (at - pos) / kBlock * kBlock;
    if (pos > last) break;  // the 0x10 lies in the tail after the last block
    const uint64_t m = block_mask_portable(data + pos, kBlock);
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

// The vector kernels test 16 or 32 offsets at once with loads at +0 to +8.

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

// Lanes j of the 16 offsets at p that are candidates.
inline __m128i exact_sse2(const uint8_t* p) {
  const __m128i k0 = _mm_setzero_si128();
  __m128i z = _mm_and_si128(_mm_cmpeq_epi8(load16(p + 1), k0),
                            _mm_cmpeq_epi8(load16(p + 2), k0));
  z = _mm_and_si128(z, _mm_cmpeq_epi8(load16(p + 3), k0));
  z = _mm_and_si128(z, _mm_cmpeq_epi8(load16(p + 5), k0));
  z = _mm_and_si128(z, _mm_cmpeq_epi8(load16(p + 6), k0));
  z = _mm_and_si128(z, _mm_cmpeq_epi8(load16(p + 7), k0));
  z = _mm_and_si128(z, _mm_cmpeq_epi8(load16(p), _mm_set1_epi8(0x10)));
  z = _mm_and_si128(z, flags_lanes_sse2(p));
  // No CLUT bit, or a CLUT length of 32 k + 12.
  const __m128i f8 = _mm_and_si128(load16(p + 4), _mm_set1_epi8(8));
  const __m128i len = _mm_and_si128(load16(p + 8), _mm_set1_epi8(0x1F));
  return _mm_and_si128(z, _mm_or_si128(_mm_cmpeq_epi8(f8, k0),
                                       _mm_cmpeq_epi8(len, _mm_set1_epi8(12))));
}

inline uint64_t bits16(__m128i v) {
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(v)));
}

std::size_t scan_blocks_sse2(const uint8_t* data, std::size_t pos,
                             std::size_t last, uint64_t* mask) {
  const __m128i k10 = _mm_set1_epi8(0x10);
  const __m128i k0 = _mm_setzero_si128();
  for (; pos <= last; pos += kBlock) {
    const uint8_t* p = data + pos;
    // This loop runs once per 64 bytes of input: test only 10 00 and the
    // flags byte first, which random data almost never has.
    __m128i q = k0;
    for (int i = 0; i < 64; i += 16) {
      const __m128i t = _mm_and_si128(_mm_cmpeq_epi8(load16(p + i), k10),
                                      _mm_cmpeq_epi8(load16(p + i + 1), k0));
      q = _mm_or_si128(q, _mm_and_si128(t, flags_lanes_sse2(p + i)));
    }
    if (_mm_movemask_epi8(q) == 0) continue;
    uint64_t m = 0;
    for (int i = 0; i < 64; i += 16) m |= bits16(exact_sse2(p + i)) << i;
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

// Lanes j of the 32 offsets at p that are candidates.
VEXLO_AVX2 inline __m256i exact_avx2(const uint8_t* p) {
  const __m256i k0 = _mm256_setzero_si256();
  __m256i z = _mm256_and_si256(_mm256_cmpeq_epi8(load32(p + 1), k0),
                               _mm256_cmpeq_epi8(load32(p + 2), k0));
  z = _mm256_and_si256(z, _mm256_cmpeq_epi8(load32(p + 3), k0));
  z = _mm256_and_si256(z, _mm256_cmpeq_epi8(load32(p + 5), k0));
  z = _mm256_and_si256(z, _mm256_cmpeq_epi8(load32(p + 6), k0));
  z = _mm256_and_si256(z, _mm256_cmpeq_epi8(load32(p + 7), k0));
  z = _mm256_and_si256(z, _mm256_cmpeq_epi8(load32(p), _mm256_set1_epi8(0x10)));
  z = _mm256_and_si256(z, flags_lanes_avx2(p));
  // No CLUT bit, or a CLUT length of 32 k + 12.
  const __m256i f8 = _mm256_and_si256(load32(p + 4), _mm256_set1_epi8(8));
  const __m256i len = _mm256_and_si256(load32(p + 8), _mm256_set1_epi8(0x1F));
  return _mm256_and_si256(
      z, _mm256_or_si256(_mm256_cmpeq_epi8(f8, k0),
                         _mm256_cmpeq_epi8(len, _mm256_set1_epi8(12))));
}

VEXLO_AVX2 inline uint64_t bits32(__m256i v) {
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(v)));
}

VEXLO_AVX2 std::size_t scan_blocks_avx2(const uint8_t* data, std::size_t pos,
                                        std::size_t last, uint64_t* mask) {
  const __m256i k10 = _mm256_set1_epi8(0x10);
  const __m256i k0 = _mm256_setzero_si256();
  for (; pos <= last; pos += kBlock) {
    const uint8_t* p = data + pos;
    // As in the SSE2 kernel: 10 00 and the flags byte first.
    const __m256i a =
        _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(load32(p), k10),
                                          _mm256_cmpeq_epi8(load32(p + 1), k0)),
                         flags_lanes_avx2(p));
    const __m256i b = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi8(load32(p + 32), k10),
                         _mm256_cmpeq_epi8(load32(p + 33), k0)),
        flags_lanes_avx2(p + 32));
    const __m256i q = _mm256_or_si256(a, b);
    if (_mm256_testz_si256(q, q)) continue;
    const uint64_t m =
        bits32(exact_avx2(p)) | (bits32(exact_avx2(p + 32)) << 32);
    if (m != 0) {
      *mask = m;
      return pos;
    }
  }
  *mask = 0;
  return pos;
}

#endif  // VEXLO_HAVE_AVX2

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
  }
  return false;
}

CandidateKernel best_candidate_kernel() {
  static const CandidateKernel best =
      candidate_kernel_available(CandidateKernel::kAvx2)
          ? CandidateKernel::kAvx2
      : candidate_kernel_available(CandidateKernel::kSse2)
          ? CandidateKernel::kSse2
          : CandidateKernel::kPortable;
  return best;
}

CandidateCursor::CandidateCursor(std::span<const uint8_t> data,
                                 std::size_t from, std::size_t end,
                                 CandidateKernel kernel)
    : data_(data.data()),
      size_(data.size()),
      end_(end),
      stop_(0),
      block_(from),
      next_block_(from),
      kernel_(candidate_kernel_available(kernel) ? kernel
                                                 : CandidateKernel::kPortable) {
  if (size_ >= kCandidateBytes) {
    const std::size_t starts = size_ - kCandidateBytes + 1;
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
    std::size_t b;
    switch (kernel_) {
#ifdef VEXLO_HAVE_AVX2
      case CandidateKernel::kAvx2:
        b = scan_blocks_avx2(data_, next_block_, last, &m);
        break;
#endif
#ifdef VEXLO_HAVE_SSE2
      case CandidateKernel::kSse2:
        b = scan_blocks_sse2(data_, next_block_, last, &m);
        break;
#endif
      default:
        b = scan_blocks_portable(data_, next_block_, last, &m);
        break;
    }
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
  mask_ = block_mask_portable(data_ + block_, n);
  next_block_ = block_ + n;
  return true;
}

}  // namespace vexlo
