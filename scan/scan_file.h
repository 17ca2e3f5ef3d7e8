// Scanning one file for TIMs; each one reported is handed to extract/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "driver/settings.h"
#include "scan/candidate_stream.h"
#include "scan/disc_scan.h"
#include "tim/tim.h"

namespace vexlo {

// Loads the file at `path`, scans it and writes the outputs of every TIM it
// reports. All results are console output, files and changes to `run`.
void scan_file(Run& run, const std::string& path);

struct DiscMap;
class StreamHoles;

// The offset loop over already loaded data. With `disc`, `data` is a raw disc
// image of that map and the loop runs over its data stream, showing file
// offsets. `split`, when given, sets how the candidate search of plain data
// is spread over threads (by default: over the machine's cores for large
// data); what is found, printed and written is the same with any split.
// `source`, the loaded file whose bytes() are `data`, lets the search read
// the file again instead of `data` (see CandidateStream).
void scan_buffer(Run& run, std::span<const uint8_t> data,
                 const DiscMap* disc = nullptr,
                 std::optional<CandidateSplit> split = std::nullopt,
                 const InputData* source = nullptr);

// The offset loop over `stream`, the data stream of an image of map `shown`
// held in memory: as scan_buffer of the image with that map. No TIM that
// touches one of `holes` is reported.
void scan_data_stream(Run& run, std::span<const uint8_t> stream,
                      const DiscMap& shown, const StreamHoles* holes = nullptr);

// scan_buffer of `data`, where no TIM that touches one of `holes` is
// reported.
void scan_holed_buffer(Run& run, std::span<const uint8_t> data,
                       const StreamHoles& holes);

// How the settings shape recognition.
inline ExamineOptions examine_options(const Settings& s) {
  return {.typefilter = s.typefilter,
          .looseflags = s.looseflags,
          .strict = s.strict};
}

}  // namespace vexlo
