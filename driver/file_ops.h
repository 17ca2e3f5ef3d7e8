// Platform file operations behind the output writer.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "driver/file_id.h"

namespace vexlo {

// Creates or empties the regular file `name`, writes every byte of `bytes`
// and closes it. Never blocks on a FIFO. On any failure removes what it
// created and returns false. On success stores the file's identity in *id.
bool create_and_write(const std::string& name, std::span<const uint8_t> bytes,
                      FileId* id);

// Reads the regular file `name` whole, up to `limit` bytes. False when it
// cannot be opened or is not a regular file (a FIFO is never waited on).
// On Windows, where paths inside the program are UTF-8, text that is not
// UTF-8 (see config_text_is_utf8) is converted from the ANSI code page.
bool read_small_file(const std::string& name, std::size_t limit,
                     std::string* text);

}  // namespace vexlo
