// Scanning one input file for TIMs: its source (plain bytes, a raw disc
// image, a CHD) gives the data stream the offset loop runs over.
#pragma once

#include <string>

#include "extract/run.h"

namespace vexlo {

// Loads the file at `path`, scans it and writes the outputs of every TIM it
// reports. All results are console output, files and changes to `run`.
// With `skip_outputs` (a tree search), a file this run has written, and a
// pipe or device the listing took for a file, are passed over without a
// word.
void scan_file(Run& run, const std::string& path, bool skip_outputs = false);

}  // namespace vexlo
