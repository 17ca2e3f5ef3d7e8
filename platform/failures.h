// Whether anything the run was asked to read or write failed: an input that
// could not be read, an output that could not be written. Each such failure
// prints its own message where it happens; this only remembers that one did,
// for the exit status of a run that does not wait for a key (nopause).
#pragma once

namespace vexlo {

void note_failure();
bool any_failure();

}  // namespace vexlo
