// What happens to a reported TIM: its report lines, its files (the .tim
// copy, the images) and its catalogue row, and the limit that ends a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "catalogue/catalogue.h"
#include "disc/stream.h"
#include "extract/run.h"
#include "tim/tim.h"

namespace vexlo {

// One TIM the scan reports: everything its report, files and catalogue row
// are made from.
struct TimHit {
  // As examined; the info's blocks view the data from the TIM's first byte
  // on, as far as its outputs read (see tim_reach).
  Examined found;
  // The TIM's found.total bytes.
  std::span<const uint8_t> bytes;
  // Where its first byte lies in the input.
  StreamPlace place;
  // The input, as its "Reading" line shows it.
  std::string_view file;
  // In a disc whose file system was read: the disc file holding the TIM's
  // first byte and the TIM's offset in it; empty outside every file.
  std::string_view disc_file;
  std::optional<uint32_t> disc_file_offset;
  // A TIM in packed data (unpack): the scheme's name and the TIM's offset in
  // the unpacked bytes; `place` and the disc file are then the stream's
  // first byte's. Empty for a plain TIM.
  std::string_view packed;
  uint32_t packed_offset = 0;
  // In a PBP: the number of the disc holding it (1 for a single disc); 0
  // for other inputs.
  int disc = 0;
};

// Prints the report of an accepted TIM in the size window.
void print_report(const TimHit& hit);

// True, after printing the limit line, once more than maxtims TIMs have been
// counted: the scan ends.
bool hit_limit(const Run& run);

// Writes the .tim copy, the images and the catalogue row of one reported TIM
// and counts it.
void emit_tim(Run& run, const TimHit& hit);

// The catalogue record of `hit`, numbered `number`: everything but
// `counted`, the file names and `duplicate_of`.
CatalogueEntry catalogue_entry(const TimHit& hit, int32_t number);

}  // namespace vexlo
