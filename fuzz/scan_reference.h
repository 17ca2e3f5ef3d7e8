// What the scan fuzz targets share: settings picked by two input bytes, the
// plain loop over every offset that a scan's console output must equal, and
// the capture of that output.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "extract/run.h"
#include "fuzz/check.h"
#include "tim/tim.h"

namespace vexlo::fuzz {

// Size window, type filter, limit, looseflags (bit 3 of the second byte) and
// strict (bit 4); nothing is written.
inline void pick_settings(const uint8_t* bytes, Settings& s) {
  static const int32_t kSizes[16] = {
      64,  1,   0,       -1,      8,   20,   21, 22,
      100, 320, 4000000, 1 << 20, -64, 4096, 12, 2147483647};
  static const int32_t kFilters[8] = {-1, 0, 1, 2, 3, 4, 5, -2};
  static const int32_t kLimits[8] = {10, 0, 1, 2, 3, -1, 100, 2147483647};
  s.mintimsize = kSizes[bytes[0] & 15];
  s.maxtimsize = kSizes[bytes[0] >> 4];
  s.typefilter = kFilters[bytes[1] & 7];
  s.maxtims = kLimits[bytes[1] >> 5];
  s.looseflags = (bytes[1] & 8) != 0;
  s.strict = (bytes[1] & 16) != 0;
  s.writetim = false;
  s.writebmp = false;
}

inline void append(std::string& out, const char* fmt, auto... args) {
  char buf[256];
  std::snprintf(buf, sizeof buf, fmt, args...);
  out += buf;
}

// Every offset below the scan's end, one by one, reported at its offset or,
// with `shown`, at shown[offset]. *counter ends as the scan's counter would.
inline std::string reference(const Settings& s, std::span<const uint8_t> data,
                             int32_t* counter,
                             const std::vector<std::size_t>* shown = nullptr) {
  std::string out;
  *counter = 1;
  const int64_t size = static_cast<int64_t>(data.size());
  const int64_t end = std::min<int64_t>(size - s.mintimsize, size);
  const uint32_t lo = static_cast<uint32_t>(s.mintimsize);
  const uint32_t hi = static_cast<uint32_t>(s.maxtimsize);
  for (int64_t off = 0; off < end; ++off) {
    const std::size_t at = static_cast<std::size_t>(off);
    const auto e = examine_offset(data, at,
                                  {.typefilter = s.typefilter,
                                   .looseflags = s.looseflags,
                                   .strict = s.strict});
    if (!e) continue;
    if (lo <= e->total && e->total <= hi) {
      append(out, "TIM at byte %i, size of %i\n%ix%i, pixelmode: %s\n",
             static_cast<int>(shown != nullptr ? (*shown)[at] : at),
             static_cast<int>(e->total), e->info.width, e->info.height,
             kModeNames[e->info.mode]);
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

// What `scan()` prints, caught in memory.
template <class Scan>
std::string captured(Scan&& scan) {
  char* buf = nullptr;
  std::size_t len = 0;
  FILE* mem = open_memstream(&buf, &len);
  FUZZ_CHECK(mem != nullptr);
  std::fflush(stdout);
  FILE* const saved = stdout;
  stdout = mem;
  scan();
  stdout = saved;
  std::fclose(mem);
  std::string out(buf, len);
  std::free(buf);
  return out;
}

}  // namespace vexlo::fuzz
