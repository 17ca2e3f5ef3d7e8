// A whole scan of a buffer with output disabled. The first four bytes pick
// the settings (looseflags and strict included) and a window; the rest is the
// loaded file. The scan's console output must equal that of the plain loop over
// every offset, so the candidate search may skip only offsets that cannot begin
// a TIM; and every kernel of the candidate search must yield exactly the
// offsets that the one-offset-at-a-time definition gives.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "extract/run.h"
#include "fuzz/check.h"
#include "fuzz/scan_reference.h"
#include "scan/candidate.h"
#include "scan/candidate_stream.h"
#include "scan/stream_scan.h"
#include "tim/tim.h"

namespace {

using vexlo::CandidateKernel;

std::vector<std::size_t> cursor_offsets(std::span<const uint8_t> data,
                                        std::size_t from, std::size_t end,
                                        CandidateKernel kernel,
                                        vexlo::CandidateFilter filter) {
  std::vector<std::size_t> offs;
  vexlo::CandidateCursor c(data, from, end, kernel, filter);
  for (std::size_t off = c.next(); off < end; off = c.next()) {
    FUZZ_CHECK(offs.empty() || off > offs.back());
    offs.push_back(off);
  }
  FUZZ_CHECK(c.next() == end);  // and `end` for good
  return offs;
}

// The candidate offsets in [from, end), one offset at a time.
std::vector<std::size_t> defined_offsets(std::span<const uint8_t> data,
                                         std::size_t from, std::size_t end,
                                         vexlo::CandidateFilter filter) {
  std::vector<std::size_t> offs;
  for (std::size_t off = from; off < end; ++off)
    if (off + vexlo::kCandidateBytes <= data.size() &&
        vexlo::is_candidate(data.data() + off, filter))
      offs.push_back(off);
  return offs;
}

void check_candidates(std::span<const uint8_t> data, std::size_t from,
                      std::size_t end) {
  for (bool loose : {false, true}) {
    const vexlo::CandidateFilter filter{.looseflags = loose};
    const std::vector<std::size_t> want =
        defined_offsets(data, from, end, filter);
    for (CandidateKernel k :
         {CandidateKernel::kPortable, CandidateKernel::kSse2,
          CandidateKernel::kAvx2, CandidateKernel::kAvx512}) {
      if (!vexlo::candidate_kernel_available(k)) continue;
      FUZZ_CHECK(cursor_offsets(data, from, end, k, filter) == want);
    }
  }
}

// The search split over threads in pieces of `piece` bytes, against the
// definition.
void check_stream(std::span<const uint8_t> data, std::size_t end,
                  std::size_t piece) {
  for (bool loose : {false, true}) {
    const vexlo::CandidateFilter filter{.looseflags = loose};
    const std::vector<std::size_t> want = defined_offsets(data, 0, end, filter);
    std::vector<std::size_t> got;
    vexlo::CandidateStream s(data, end, vexlo::best_candidate_kernel(), filter,
                             {.threads = 3, .piece = piece});
    for (std::size_t off = s.next(); off < end; off = s.next())
      got.push_back(off);
    FUZZ_CHECK(got == want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  if (size < 4) return 0;
  vexlo::Run run;
  vexlo::fuzz::pick_settings(bytes, run.settings);
  // A private copy of exactly the file's bytes, so that ASan sees any read
  // past its end.
  const std::vector<uint8_t> copy(bytes + 4, bytes + size);
  const std::span<const uint8_t> data(copy);

  int32_t counter = 0;
  const std::string want = vexlo::fuzz::reference(run.settings, data, &counter);
  const std::string got =
      vexlo::fuzz::captured([&] { vexlo::scan_buffer(run, data); });
  if (got != want)
    std::fprintf(stderr, "scan printed:\n%s\nexpected:\n%s\n", got.c_str(),
                 want.c_str());
  FUZZ_CHECK(got == want);
  FUZZ_CHECK(run.tim_counter == counter);

  // A window that may start late and stop short of the data, or past it.
  const std::size_t from = std::min<std::size_t>(bytes[2] & 127, data.size());
  const std::size_t end =
      (bytes[3] & 128)
          ? data.size() + (bytes[3] & 15)
          : data.size() - std::min<std::size_t>(bytes[3], data.size());
  check_candidates(data, from, std::max(from, end));
  check_stream(data, std::max(from, end), 64 + bytes[2] * 3);
  return 0;
}
