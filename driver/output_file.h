// Creating output files: exact bytes, in one piece, and never at the cost of
// the input being scanned.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "driver/settings.h"

namespace vexlo {

// Writes `bytes` to a new (or emptied) file `name`. Refuses names over
// kTextMax characters and names that lead to the input file being scanned.
// A failed or short write removes the partial file. On failure prints
// "Could not write <name>\n" and returns false; on success records the
// file's identity in run.outputs.
bool write_output_file(Run& run, const std::string& name,
                       std::span<const uint8_t> bytes);

}  // namespace vexlo
