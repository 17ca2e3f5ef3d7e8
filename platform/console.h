// The one console operation: an unechoed wait for one key press.
#pragma once

namespace vexlo {

// Waits for one key on the console (not standard input, which may be
// redirected) with no echo and no prompt. Returns the key's character code
// (1-255), 224 for keys without a character (arrows, function keys), or -1
// when there is no console to read from.
int wait_key();

}  // namespace vexlo
