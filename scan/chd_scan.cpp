#include "scan/chd_scan.h"

#include <cstdio>

#include "disc/chd_stream.h"
#include "scan/disc_scan.h"
#include "scan/scan_file.h"

namespace vexlo {

bool open_chd(std::span<const uint8_t> file, const std::string& path,
              chd::Image& image) {
  const std::string why = chd::open_chd(file, image);
  if (!why.empty())
    std::printf("Can't read %s: %s.\n", path.c_str(), why.c_str());
  return why.empty();
}

void scan_chd(Run& run, const chd::Image& image, const InputData& data,
              const std::string& path, unsigned threads) {
  chd::DecodeOptions options;
  options.threads = threads;
  // Read rather than touched through the mapping: the file's pages stay
  // out of this process's memory.
  options.reader = [&data](uint64_t at, std::size_t n, uint8_t* out) {
    return data.read_at(static_cast<std::size_t>(at), out, n);
  };
  chd::ChdStream s;
  if (!chd::decode_stream(data.bytes(), image, options, s)) {
    std::printf("Skipping %s: not enough memory to load it.\n", path.c_str());
    return;
  }
  if (s.layout.raw)
    std::printf(
        "Disc image: %i sectors of %i bytes, scanning %i bytes of data.\n",
        static_cast<int>(s.map.whole_sectors),
        static_cast<int>(s.map.sector_size),
        static_cast<int>(s.map.stream_size()));
  for (uint32_t n : s.damaged)
    std::printf("Can't read %s: hunk %i is damaged.\n", path.c_str(),
                static_cast<int>(n));
  if (s.layout.raw) {
    if (run.settings.writeindex) read_stream_files(run, s.bytes(), s.map);
    scan_data_stream(run, s.bytes(), s.map, &s.holes);
  } else {
    if (run.settings.writeindex) read_iso_files(run, s.bytes());
    scan_holed_buffer(run, s.bytes(), s.holes);
  }
}

}  // namespace vexlo
