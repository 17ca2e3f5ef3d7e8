// The program's main sequence.
#pragma once

#include "extract/run.h"

namespace vexlo {

// Banner, configuration, one scan or tree search, total, key wait. Returns
// the key's code, or -1 without a console: the process exit status.
int run(Run& state);

}  // namespace vexlo
