// The tree search: every file below a directory that matches `searchtype`.
#pragma once

#include <string>

#include "extract/run.h"

namespace vexlo {

// Scans every matching file in `dir` and in its subdirectories whose names
// have no dot, depth first, a directory's subtrees before its own files.
// Prints nothing of its own.
void walk_directory(Run& run, const std::string& dir);

}  // namespace vexlo
