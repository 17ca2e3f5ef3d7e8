// Finding the offsets of loaded data where a TIM could begin, without
// looking at every offset one by one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "packed/packed.h"
#include "tim/tim.h"

#if !defined(VEXLO_NO_SIMD) && (defined(__x86_64__) || defined(_M_X64))
#define VEXLO_HAVE_SSE2 1
#if defined(__GNUC__) || defined(__clang__)
#define VEXLO_HAVE_AVX2 1
#define VEXLO_HAVE_AVX512 1
#endif
#endif

namespace vexlo {

// True when a flags byte names a pixel mode and CLUT combination that
// examine_offset can accept (low nibble 02, 03, 08, 09 or 0C). Without
// looseflags it rejects every other flags byte before reading past the
// header, so a scan may skip such offsets as well.
constexpr bool flags_can_pass(uint8_t f) {
  const unsigned t = f & 0x0Fu;
  return (t | 1u) == 0x03u || (t | 1u) == 0x09u || t == 0x0Cu;
}

// True when the low byte of a CLUT block length can belong to an accepted
// TIM: every length examine_offset takes (44, 524, rows * 32 + 12,
// rows * 512 + 12) is 12 more than a multiple of 32.
constexpr bool clut_length_can_pass(uint8_t low) {
  return (low & 0x1Fu) == 12u;
}

// True when a flags byte names a 4-bit or 8-bit mode without the CLUT bit,
// which only looseflags accepts (as a TIM whose palette lives elsewhere).
constexpr bool flags_without_palette(uint8_t f) { return (f & 0x0Eu) == 0; }

// Bytes an offset needs after it to be a candidate at all: a TIM takes at
// least its header and one block header.
constexpr std::size_t kCandidateBytes = kTimHeaderSize + kBlockHeaderSize;

// True when the image block header right after the TIM header at `p` can
// belong to a TIM without a palette: its length must be 12 + 2 * w * h, so
// even, with w and h not zero.
inline bool no_palette_block_can_pass(const uint8_t* p) {
  return (p[8] & 1u) == 0 && (p[16] | p[17]) != 0 && (p[18] | p[19]) != 0;
}

// What the candidate search is to keep: offsets that examine_offset, with
// the same looseflags, may accept.
struct CandidateFilter {
  bool looseflags = false;
  // Also the offsets whose first two bytes can begin a packed header
  // (packed_pair_candidate); those need only two bytes of data.
  bool packed = false;
};

// The one definition of a candidate, which every kernel below must yield
// exactly: the kCandidateBytes bytes at `p` pass all that examine_offset can
// tell from them. Offsets that fail are ones it rejects.
//  - bytes 0-3 are 10 00 00 00, and bytes 5-7 are zero unless looseflags;
//  - the flags byte passes flags_can_pass and, with a CLUT, the CLUT length
//    passes clut_length_can_pass;
//  - or, with looseflags only, it is flags_without_palette and the image
//    block passes no_palette_block_can_pass.
inline bool is_candidate(const uint8_t* p, CandidateFilter filter) {
  if (p[0] != 0x10 || p[1] != 0 || p[2] != 0 || p[3] != 0) return false;
  if (!filter.looseflags && (p[5] | p[6] | p[7]) != 0) return false;
  const uint8_t f = p[4];
  if (flags_can_pass(f)) return (f & 8) == 0 || clut_length_can_pass(p[8]);
  return filter.looseflags && flags_without_palette(f) &&
         no_palette_block_can_pass(p);
}

// The documented recognition's candidates.
inline bool is_candidate(const uint8_t* p) { return is_candidate(p, {}); }

// A packed header candidate at `p`, with `avail` bytes to the end of the
// data: a pair of first bytes the vector kernels find, then the look at its
// first bytes, made where they are at hand.
inline bool is_packed_candidate(const uint8_t* p, std::size_t avail) {
  return avail >= kPackedPairBytes && packed_pair_candidate(p[0], p[1]) &&
         packed_header_plausible(p, avail);
}

// The whole rule at an offset with `avail` bytes from `p` to the end of the
// data: a TIM candidate with kCandidateBytes bytes, or, with `packed`, a
// packed header candidate.
inline bool is_candidate_at(const uint8_t* p, std::size_t avail,
                            CandidateFilter filter) {
  if (filter.packed && is_packed_candidate(p, avail)) return true;
  return avail >= kCandidateBytes && is_candidate(p, filter);
}

enum class CandidateKernel { kPortable, kSse2, kAvx2, kAvx512 };

// Whether this build and this CPU can run `k`.
bool candidate_kernel_available(CandidateKernel k);
// The fastest kernel available.
CandidateKernel best_candidate_kernel();

// Yields, in increasing order, the offsets in [from, end) that pass
// is_candidate_at with `filter`, then `end` for good. Works a block of 64
// offsets at a time and keeps the block's hits, so dense hits cost little.
class CandidateCursor {
 public:
  CandidateCursor(std::span<const uint8_t> data, std::size_t from,
                  std::size_t end, CandidateKernel kernel,
                  CandidateFilter filter = {});

  std::size_t next() {
    while (mask_ == 0) {
      if (!refill()) return end_;
    }
    const std::size_t off =
        block_ + static_cast<std::size_t>(std::countr_zero(mask_));
    mask_ &= mask_ - 1;
    return off;
  }

 private:
  bool refill();

  const uint8_t* data_;
  std::size_t size_;
  std::size_t end_;
  std::size_t stop_;        // min(end, last offset with enough bytes + 1)
  std::size_t block_;       // first offset of the block in mask_
  std::size_t next_block_;  // where the next refill starts
  uint64_t mask_ = 0;
  CandidateFilter filter_;
  // The kernel's block search for this filter.
  std::size_t (*scan_blocks_)(const uint8_t* data, std::size_t pos,
                              std::size_t last, uint64_t* mask);
};

}  // namespace vexlo
