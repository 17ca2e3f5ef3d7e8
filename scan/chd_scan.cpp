#include "scan/chd_scan.h"

#include <cstdio>

#include "disc/chd_stream.h"
#include "platform/failures.h"
#include "platform/progress.h"

namespace vexlo {

bool open_chd(std::span<const uint8_t> file, const std::string& path,
              chd::Image& image) {
  const std::string why = chd::open_chd(file, image);
  if (why.empty()) return true;
  std::printf("Can't read %s: %s.\n", path.c_str(), why.c_str());
  note_failure();
  return false;
}

bool scan_chd(InputScan& input, const chd::Image& image, const InputData& data,
              unsigned threads) {
  const std::string& path = input.path;
  chd::DecodeOptions options;
  options.threads = threads;
  // Read rather than touched through the mapping: the file's pages stay
  // out of this process's memory.
  options.reader = [&data](uint64_t at, std::size_t n, uint8_t* out) {
    return data.read_at(static_cast<std::size_t>(at), out, n);
  };
  Progress& line = Progress::line();
  const uint32_t hunk_count = static_cast<uint32_t>(image.map.size());
  if (line.on())
    line.begin({.what = "Decoding " + path,
                .total = image.bin_size,
                .steps = hunk_count,
                .step_name = "hunks"});
  options.progress = [&](uint32_t n) {
    if (n % 16 == 0 && line.busy())
      line.update(image.bin_size * n / hunk_count, input.run.tim_counter - 1,
                  n);
  };
  chd::ChdStream s;
  const bool decoded = chd::decode_stream(data.bytes(), image, options, s);
  line.end();
  if (!decoded) {
    std::printf("Skipping %s: not enough memory to load it.\n", path.c_str());
    note_failure();
    return false;
  }
  // The layout is the metadata's: the line stands whatever hunk is damaged.
  if (s.layout.raw) print_disc_line(s.map);
  for (uint32_t n : s.damaged) {
    std::printf("Can't read %s: hunk %i is damaged.\n", path.c_str(),
                static_cast<int>(n));
    note_failure();
  }
  const DataStream stream =
      (s.layout.raw ? DataStream::decoded(s.bytes(), s.map)
                    : DataStream::plain(s.bytes()))
          .with_holes(s.holes);
  keep_disc_files(input, stream);
  return scan_stream(input, stream);
}

}  // namespace vexlo
