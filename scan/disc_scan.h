// Scanning a raw disc image: one pass over its sectors (split over the
// cores) finds the data stream and the candidates together, then the offset
// loop runs over the data stream in place, showing file offsets.
#pragma once

#include <cstdint>
#include <span>

#include "disc/disc_image.h"
#include "driver/settings.h"
#include "platform/input_file.h"

namespace vexlo {

// Reports `file`, which is_disc_image accepted (or probe_disc_image for
// `format`), and scans its data stream. Its sectors are first read by
// `threads` threads side by side (0: one per core for a large image); the
// results are the same for any number. `source`, the loaded file whose
// bytes() are `file`, lets that pass read copies where the file's pages are
// small.
void scan_disc_image(Run& run, std::span<const uint8_t> file,
                     unsigned threads = 0,
                     SectorFormat format = SectorFormat::k2352,
                     const InputData* source = nullptr);

// Reads the ISO 9660 file system of `file`, a raw image of `map`, into
// run.disc_files (left empty without one) and run.disc_base.
void read_disc_files(Run& run, std::span<const uint8_t> file,
                     const DiscMap& map);

// The same for an image whose data stream `stream`, of `map`, was decoded
// into memory (a CHD).
void read_stream_files(Run& run, std::span<const uint8_t> stream,
                       const DiscMap& map);

// The same for `bytes` when it is an image of 2048-byte sectors (an ISO).
void read_iso_files(Run& run, std::span<const uint8_t> bytes);

// The offset loop over the data stream of `file`, a raw image of `map`.
void scan_disc_stream(Run& run, std::span<const uint8_t> file,
                      const DiscMap& map);

}  // namespace vexlo
