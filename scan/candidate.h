// Finding the offsets of loaded data where a TIM could begin, without
// looking at every offset one by one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "scan/tim.h"

#if !defined(VEXLO_NO_SIMD) && (defined(__x86_64__) || defined(_M_X64))
#define VEXLO_HAVE_SSE2 1
#if defined(__GNUC__) || defined(__clang__)
#define VEXLO_HAVE_AVX2 1
#endif
#endif

namespace vexlo {

// True when a flags byte names a pixel mode and CLUT combination that
// examine_offset can accept (low nibble 02, 03, 08, 09 or 0C). It rejects
// every other flags byte before reading past the header, so a scan may skip
// such offsets as well.
constexpr bool flags_can_pass(uint8_t f) {
  const unsigned t = f & 0x0Fu;
  return (t | 1u) == 0x03u || (t | 1u) == 0x09u || t == 0x0Cu;
}

// True when the low byte of a CLUT block length can belong to an accepted
// TIM: every length examine_offset takes (44, 524, rows * 32 + 12,
// rows * 512 + 12) is 12 more than a multiple of 32.
constexpr bool clut_length_can_pass(uint8_t low) { return (low & 0x1Fu) == 12u; }

// What an offset must pass to be a candidate.
enum class CandidateTest {
  kHeader,  // tim_header_candidate
  // tim_header_candidate, flags_can_pass and, with a CLUT,
  // clut_length_can_pass: all that examine_offset can tell from the first
  // twelve bytes.
  kScan,
};

// Bytes an offset needs after it to be a candidate at all. A TIM takes at
// least 20 (its header and one block header), so the scan filter may ask
// for them.
constexpr std::size_t candidate_bytes(CandidateTest test) {
  return test == CandidateTest::kScan ? 20 : kTimHeaderSize;
}

// `p` has candidate_bytes(test) readable bytes.
inline bool passes(CandidateTest test, const uint8_t* p) {
  if (!tim_header_candidate(p)) return false;
  if (test == CandidateTest::kHeader) return true;
  return flags_can_pass(p[4]) && ((p[4] & 8) == 0 || clut_length_can_pass(p[8]));
}

enum class CandidateKernel { kPortable, kSse2, kAvx2 };

// Whether this build and this CPU can run `k`.
bool candidate_kernel_available(CandidateKernel k);
// The fastest kernel available.
CandidateKernel best_candidate_kernel();

// Yields, in increasing order, the offsets in [from, end) that have
// candidate_bytes(test) bytes in the data and pass `test`, then `end` for
// good. Works a block of 64
// offsets at a time and keeps the block's hits, so dense hits cost little.
class CandidateCursor {
 public:
  CandidateCursor(std::span<const uint8_t> data, std::size_t from,
                  std::size_t end, CandidateTest test, CandidateKernel kernel);

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
  std::size_t reach_;       // bytes a kernel reads for one block
  std::size_t block_;       // first offset of the block in mask_
  std::size_t next_block_;  // where the next refill starts
  uint64_t mask_ = 0;
  CandidateTest test_;
  CandidateKernel kernel_;
};

// Next offset in [from, end) whose 8 bytes fit in the data and pass
// tim_header_candidate, or `end`.
std::size_t find_candidate(std::span<const uint8_t> data, std::size_t from,
                           std::size_t end);

// The same with a given kernel; tests compare them.
std::size_t find_candidate_portable(std::span<const uint8_t> data,
                                    std::size_t from, std::size_t end);
#ifdef VEXLO_HAVE_SSE2
std::size_t find_candidate_sse2(std::span<const uint8_t> data,
                                std::size_t from, std::size_t end);
#endif
#ifdef VEXLO_HAVE_AVX2
// Only when candidate_kernel_available(CandidateKernel::kAvx2).
std::size_t find_candidate_avx2(std::span<const uint8_t> data,
                                std::size_t from, std::size_t end);
#endif

}  // namespace vexlo
