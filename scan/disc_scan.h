// Scanning a raw disc image: one pass over its sectors (split over the
// cores) finds the data stream and the candidates together, then the offset
// loop runs over the data stream in place, showing file offsets.
#pragma once

#include <cstdint>
#include <span>

#include "disc/disc_image.h"
#include "platform/input_file.h"
#include "scan/stream_scan.h"

namespace vexlo {

// Bytes [begin, end) of an input.
struct FileRange {
  uint64_t begin = 0, end = 0;
};

// Reports `file`, which is_disc_image accepted (or probe_disc_image for
// `format`), and scans its data stream. Its sectors are first read by
// `threads` threads side by side (0: one per core for a large image); the
// results are the same for any number. `source`, the loaded file whose
// bytes() are `file`, lets that pass read copies where the file's pages are
// small. `damaged`, when given, are the byte ranges of `file` that could not
// be read (zeros, in file order): no TIM whose bytes would come from them is
// reported. True when the limit ended the scan.
bool scan_disc_image(InputScan& input, std::span<const uint8_t> file,
                     unsigned threads = 0,
                     SectorFormat format = SectorFormat::k2352,
                     const InputData* source = nullptr,
                     std::span<const FileRange> damaged = {});

}  // namespace vexlo
