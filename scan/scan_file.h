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
// With `skip_outputs`, a file this run has written is passed over without a
// word.
void scan_file(Run& run, const std::string& path, bool skip_outputs = false);

struct DiscMap;

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
// held in memory: as scan_buffer of the image with that map.
void scan_data_stream(Run& run, std::span<const uint8_t> stream,
                      const DiscMap& shown);

// How the settings shape recognition.
inline ExamineOptions examine_options(const Settings& s) {
  return {.typefilter = s.typefilter,
          .looseflags = s.looseflags,
          .strict = s.strict};
}

}  // namespace vexlo
