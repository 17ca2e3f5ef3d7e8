#include "scan/scan_file.h"

#include <cstdio>

#include "disc/disc_image.h"
#include "disc/pbp.h"
#include "platform/failures.h"
#include "platform/input_file.h"
#ifdef VEXLO_CHD
#include "scan/chd_scan.h"
#endif
#include "scan/container_scan.h"
#include "scan/disc_scan.h"
#include "scan/stream_scan.h"

namespace vexlo {

namespace {

// True when `file`, too large to scan as it is, begins as a PBP.
bool pbp_past_limit(const InputFile& file) {
  uint8_t head[4];
  return read_head(file, head) && pbp::is_pbp(head);
}

}  // namespace

void scan_file(Run& run, const std::string& path, bool skip_outputs) {
  InputFile file = open_input(path);
  if (skip_outputs && file.special) return;
  if (skip_outputs && file.status != LoadStatus::kOpenFailed &&
      run.guard.written(file.id)) {
    close_input(file);
    return;
  }
  switch (file.status) {
    case LoadStatus::kOpenFailed:
      std::printf("Open for %s failed\n", path.c_str());
      note_failure();
      return;
    case LoadStatus::kTooLarge:
      // A PBP is read disc by disc: only each disc's BIN must fit.
      if (run.settings.cdimage && pbp_past_limit(file)) break;
      close_input(file);
      std::printf("Skipping %s: larger than 2147483647 bytes.\n", path.c_str());
      note_failure();
      return;
    default:
      break;
  }
  std::printf("Reading %s (%lld bytes)...\n", path.c_str(),
              static_cast<long long>(file.length));
  InputData data;
  if (read_input(file, data) == LoadStatus::kNoMemory) {
    std::printf("Skipping %s: not enough memory to load it.\n", path.c_str());
    note_failure();
    return;
  }
  const std::span<const uint8_t> bytes = data.bytes();
  SectorFormat format = SectorFormat::k2352;
  const bool large = file.length > kInputMax;  // a PBP, seen above
  const bool raw =
      run.settings.cdimage && !large && probe_disc_image(bytes, &format);
#ifdef VEXLO_CHD
  chd::Image chd_image;
  const bool chd = run.settings.cdimage && !raw && !large && chd::is_chd(bytes);
  if (chd && !open_chd(bytes, path, chd_image)) return;
#else
  const bool chd = false;
#endif
  DiscContainer container;
  const bool packed_disc =
      run.settings.cdimage && !raw && !chd && is_disc_container(bytes);
  if (packed_disc && !container.open(bytes, path)) return;
  run.guard.set_input(file.id);
  ++run.files_scanned;
  InputScan input{.run = run, .path = path, .disc = {}};
  if (raw) {
    scan_disc_image(input, bytes, 0, format, &data);
#ifdef VEXLO_CHD
  } else if (chd) {
    scan_chd(input, chd_image, data);
#endif
  } else if (packed_disc) {
    container.scan(input);
  } else {
    const DataStream stream = DataStream::plain(bytes);
    keep_disc_files(input, stream);
    scan_stream(input, stream, std::nullopt, &data);
  }
  run.guard.set_input(std::nullopt);
}

}  // namespace vexlo
