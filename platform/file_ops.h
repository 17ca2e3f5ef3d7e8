// Platform file operations behind the output writer.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/file_id.h"

namespace vexlo {

// Creates or empties the regular file `name`, writes every byte of `bytes`
// and closes it. Never blocks on a FIFO. Refuses, leaving it as it is, a file
// that is `*protect` (the input being read, which emptying would destroy).
// On any failure removes what it created and returns false. On success
// stores the file's identity in *id; with `want_id` false a file made new is
// not looked at again (a call less) and *id is left as it is.
bool create_and_write(const std::string& name, std::span<const uint8_t> bytes,
                      FileId* id, const FileId* protect = nullptr,
                      bool want_id = true);

// An output file being written piece by piece.
struct OutputHandle {
  intptr_t native = -1;
  FileId id;
  // Windows: attributes to set again once the file is written (a replaced
  // read-only file stays read-only); all ones for none.
  uint32_t restore_attributes = 0xFFFFFFFFu;
};

// Creates or empties the regular file `name` for writing, as
// create_and_write does. False (nothing left open) on failure.
bool open_output(const std::string& name, OutputHandle* out,
                 const FileId* protect = nullptr, bool want_id = true);

// Writes every byte of `bytes`; false when that fails.
bool write_output(const OutputHandle& out, std::span<const uint8_t> bytes);

// Closes the file. When `keep` is false or closing fails the file is removed
// and false returned.
bool close_output(const OutputHandle& out, const std::string& name, bool keep);

// Bytes to write over a copied file at `offset`.
struct FilePatch {
  uint64_t offset = 0;
  std::span<const uint8_t> bytes;
};

// Creates or empties the regular file `to`, copies the regular file `from`
// into it (inside the system where it can: copy_file_range, CopyFileW) and
// writes `patches` over the copy. On any failure removes `to` and returns
// false. On success stores the copy's identity in *id.
bool copy_with_patches(const std::string& from, const std::string& to,
                       std::span<const FilePatch> patches, FileId* id);

// Removes the file `name`; false when it could not.
bool remove_file(const std::string& name);

// Why the input `name` cannot be read, in the system's words ("No such file
// or directory"); empty when it can be opened as a file.
std::string unreadable_reason(const std::string& name);

// Reads the regular file `name` whole, up to `limit` bytes. False when it
// cannot be opened or is not a regular file (a FIFO is never waited on).
// On Windows, where paths inside the program are UTF-8, text that is not
// UTF-8 (see config_text_is_utf8) is converted from the ANSI code page.
bool read_small_file(const std::string& name, std::size_t limit,
                     std::string* text);

}  // namespace vexlo
