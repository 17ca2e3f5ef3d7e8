// A reinsertion run (key reinsert): the pictures and .tim copies a scan
// wrote, edited since, go back into copies of the files they came from,
// with a PPF patch per copy. The input files are only read.
#pragma once

#include <cstdint>

#include "extract/run.h"

namespace vexlo {

// Runs every row of the catalogue run.settings.reinsert, printing a line per
// changed or refused row and per file written (none without outname).
// Returns the number of rows changed.
int32_t reinsert(Run& run);

}  // namespace vexlo
