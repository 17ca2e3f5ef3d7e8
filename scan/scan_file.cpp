#include "scan/scan_file.h"

#include <cstdio>

#include "convert/bmp.h"
#include "driver/output_file.h"
#include "scan/candidate.h"
#include "scan/input_file.h"

namespace vexlo {

void emit_tim(Run& run, std::span<const uint8_t> data, std::size_t off,
              uint32_t total, const TimInfo& info) {
  const Settings& s = run.settings;
  if (s.writetim) {
    char number[16];
    std::snprintf(number, sizeof number, "%i", run.tim_counter);
    const std::string name = s.outname + number + ".tim";
    // A copy that cannot be written leaves the TIM uncounted, so the next
    // TIM reuses the number.
    if (!write_output_file(run, name, data.subspan(off, total))) return;
  }
  if (s.writebmp) convert_to_bmp(run, info);
  ++run.tim_counter;
}

void scan_buffer(Run& run, std::span<const uint8_t> data) {
  const Settings& s = run.settings;
  const int64_t size = static_cast<int64_t>(data.size());
  // No TIM is looked for in the last `mintimsize` bytes.
  const int64_t limit = size - static_cast<int64_t>(s.mintimsize);
  if (limit <= 0) return;
  const std::size_t end = static_cast<std::size_t>(limit < size ? limit : size);
  const uint32_t lo = static_cast<uint32_t>(s.mintimsize);
  const uint32_t hi = static_cast<uint32_t>(s.maxtimsize);

  // Offsets the cursor skips are ones examine_offset rejects on their first
  // bytes alone, whatever typefilter and strict are.
  const ExamineOptions options{.typefilter = s.typefilter,
                               .looseflags = s.looseflags,
                               .strict = s.strict};
  CandidateCursor candidates(data, 0, end, best_candidate_kernel(),
                             {.looseflags = s.looseflags});
  for (std::size_t off = candidates.next(); off < end;
       off = candidates.next()) {
    const auto found = examine_offset(data, off, options);
    if (!found) continue;
    if (lo <= found->total && found->total <= hi) {
      const TimInfo& info = found->info;
      run.last_offset = static_cast<int32_t>(off);
      std::printf("TIM at byte %i, size of %i\n%ix%i, pixelmode: %s\n",
                  static_cast<int>(off), static_cast<int>(found->total),
                  info.width, info.height, kModeNames[info.mode]);
      if (found->multi_clut)
        std::printf(
            "WARNING: CLUT is multi-layered, defaulting to first clut entry "
            "table (may not look correct over full image).\n");
      emit_tim(run, data, off, found->total, info);
    }
    if (run.tim_counter > s.maxtims) {
      std::printf("Hit MAX_TIMS (%i)\n", s.maxtims);
      break;
    }
  }
}

void scan_file(Run& run, const std::string& path) {
  InputFile file = open_input(path);
  switch (file.status) {
    case LoadStatus::kOpenFailed:
      std::printf("Open for %s failed\n", path.c_str());
      return;
    case LoadStatus::kTooLarge:
      close_input(file);
      std::printf("Skipping %s: larger than 2147483647 bytes.\n", path.c_str());
      return;
    default:
      break;
  }
  std::printf("Reading %s (%i bytes)...\n", path.c_str(),
              static_cast<int>(file.length));
  InputData data;
  if (read_input(file, data) == LoadStatus::kNoMemory) {
    std::printf("Skipping %s: not enough memory to load it.\n", path.c_str());
    return;
  }
  run.have_input_id = true;
  run.input_id = file.id;
  scan_buffer(run, data.bytes());
  run.have_input_id = false;
}

}  // namespace vexlo
