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

#include "driver/settings.h"
#include "fuzz/check.h"
#include "scan/candidate.h"
#include "scan/candidate_stream.h"
#include "scan/scan_file.h"
#include "scan/tim.h"

namespace {

const int32_t kSizes[16] = {64,  1,    0,   -1,        8,       20,
                            21,  22,   100, 320,       4000000, 1 << 20,
                            -64, 4096, 12,  2147483647};
const int32_t kFilters[8] = {-1, 0, 1, 2, 3, 4, 5, -2};
const int32_t kLimits[8] = {10, 0, 1, 2, 3, -1, 100, 2147483647};

void append(std::string& out, const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  out += buf;
}

// Every offset below the scan's end, one by one.
std::string reference(const vexlo::Settings& s, std::span<const uint8_t> data,
                      int32_t* counter) {
  std::string out;
  *counter = 1;
  const int64_t size = static_cast<int64_t>(data.size());
  const int64_t end = std::min<int64_t>(size - s.mintimsize, size);
  const uint32_t lo = static_cast<uint32_t>(s.mintimsize);
  const uint32_t hi = static_cast<uint32_t>(s.maxtimsize);
  for (int64_t off = 0; off < end; ++off) {
    const auto e = vexlo::examine_offset(data, static_cast<std::size_t>(off),
                                         {.typefilter = s.typefilter,
                                          .looseflags = s.looseflags,
                                          .strict = s.strict});
    if (!e) continue;
    if (lo <= e->total && e->total <= hi) {
      append(out, "TIM at byte %i, size of %i\n%ix%i, pixelmode: %s\n",
             static_cast<int>(off), static_cast<int>(e->total), e->info.width,
             e->info.height, vexlo::kModeNames[e->info.mode]);
      if (e->multi_clut)
        out +=
            "WARNING: CLUT is multi-layered, defaulting to first clut entry "
            "table (may not look correct over full image).\n";
      ++*counter;
    }
    if (*counter > s.maxtims) {
      append(out, "Hit MAX_TIMS (%i)\n", s.maxtims);
      break;
    }
  }
  return out;
}

// Console output of scan_buffer, caught in memory.
std::string scanned(vexlo::Run& run, std::span<const uint8_t> data) {
  char* buf = nullptr;
  std::size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  FUZZ_CHECK(mem != nullptr);
  std::fflush(stdout);
  FILE* const saved = stdout;
  stdout = mem;
  vexlo::scan_buffer(run, data);
  stdout = saved;
  std::fclose(mem);
  std::string out(buf, len);
  std::free(buf);
  return out;
}

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
  vexlo::Settings& s = run.settings;
  s.mintimsize = kSizes[bytes[0] & 15];
  s.maxtimsize = kSizes[bytes[0] >> 4];
  s.typefilter = kFilters[bytes[1] & 7];
  s.maxtims = kLimits[bytes[1] >> 5];
  s.looseflags = (bytes[1] & 8) != 0;
  s.strict = (bytes[1] & 16) != 0;
  s.writetim = false;
  s.writebmp = false;
  // A private copy of exactly the file's bytes, so that ASan sees any read
  // past its end.
  const std::vector<uint8_t> copy(bytes + 4, bytes + size);
  const std::span<const uint8_t> data(copy);

  int32_t counter = 0;
  const std::string want = reference(s, data, &counter);
  const std::string got = scanned(run, data);
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
