#include "scan/scan_file.h"

#include <cstdio>

#include "disc/disc_image.h"
#include "disc/holes.h"
#include "extract/extract.h"
#include "platform/input_file.h"
#ifdef VEXLO_CHD
#include "scan/chd_scan.h"
#endif
#include "scan/candidate.h"
#include "scan/disc_scan.h"

namespace vexlo {

namespace {

// The offset loop over plain `data`; with `shown`, `data` is the data stream
// of that map and the reports show where each TIM lies in the image.
void plain_loop(Run& run, std::span<const uint8_t> data, const DiscMap* shown,
                std::optional<CandidateSplit> split, const InputData* source,
                const StreamHoles* holes = nullptr) {
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
  // The search runs ahead on other threads; everything from examine_offset
  // on stays here, in offset order. Leaving the loop stops those threads.
  const ExamineOptions options = examine_options(s);
  CandidateStream candidates(data, end, best_candidate_kernel(),
                             {.looseflags = s.looseflags},
                             split ? *split : default_split(end), source);
  for (std::size_t off = candidates.next(); off < end;
       off = candidates.next()) {
    const auto found = examine_offset(data, off, options);
    if (!found || (holes && holes->touches(off, off + found->total))) continue;
    if (lo <= found->total && found->total <= hi) {
      uint32_t at = static_cast<uint32_t>(off);
      if (shown != nullptr) {
        at = raw_offset(*shown, off);
        const SectorPosition where = sector_position(*shown, off);
        run.last_sector = where.sector;
        run.last_sector_offset = where.offset;
      }
      run.last_offset = static_cast<int32_t>(at);
      print_report(at, *found);
      emit_tim(run, data, off, found->total, found->info);
    }
    if (hit_limit(run)) break;
  }
}

}  // namespace

void scan_buffer(Run& run, std::span<const uint8_t> data, const DiscMap* disc,
                 std::optional<CandidateSplit> split, const InputData* source) {
  if (disc != nullptr) {
    scan_disc_stream(run, data, *disc);
    return;
  }
  plain_loop(run, data, nullptr, split, source);
}

void scan_data_stream(Run& run, std::span<const uint8_t> stream,
                      const DiscMap& shown, const StreamHoles* holes) {
  plain_loop(run, stream, &shown, std::nullopt, nullptr, holes);
}

void scan_holed_buffer(Run& run, std::span<const uint8_t> data,
                       const StreamHoles& holes) {
  plain_loop(run, data, nullptr, std::nullopt, nullptr, &holes);
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
  const std::span<const uint8_t> bytes = data.bytes();
  SectorFormat format = SectorFormat::k2352;
  const bool raw = run.settings.cdimage && probe_disc_image(bytes, &format);
#ifdef VEXLO_CHD
  chd::Image chd_image;
  const bool chd = run.settings.cdimage && !raw && chd::is_chd(bytes);
  if (chd && !open_chd(bytes, path, chd_image)) return;
#endif
  run.have_input_id = true;
  run.input_id = file.id;
  run.input_path = path;
  ++run.files_scanned;
  run.last_sector = -1;
  const Settings& s = run.settings;
  if (raw) {
    scan_disc_image(run, bytes, 0, format, &data);
#ifdef VEXLO_CHD
  } else if (chd) {
    scan_chd(run, chd_image, data, path);
#endif
  } else {
    if (s.cdimage && s.writeindex) read_iso_files(run, bytes);
    scan_buffer(run, bytes, nullptr, std::nullopt, &data);
  }
  run.disc_files.reset();
  run.input_path.clear();
  run.have_input_id = false;
}

}  // namespace vexlo
