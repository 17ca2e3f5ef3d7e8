// Creating output files: exact bytes, in one piece, and never at the cost of
// the input being scanned.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "settings/settings.h"
#include "platform/file_ops.h"

namespace vexlo {

// Writes `bytes` to a new (or emptied) file `name`. Refuses names over
// kTextMax characters and names that lead to the input file being scanned.
// A failed or short write removes the partial file. On failure prints
// "Could not write <name>\n" and returns false; on success records the
// file's identity in run.outputs.
bool write_output_file(Run& run, const std::string& name,
                       std::span<const uint8_t> bytes);

// An output file written piece by piece, with the same checks, message and
// clean-up as write_output_file. Destroying an unfinished stream removes the
// file without a message.
class OutputStream {
 public:
  OutputStream(Run& run, std::string name);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // False once anything has failed; later writes are ignored.
  bool write(std::span<const uint8_t> bytes);
  // Closes the file, keeping it only when every step succeeded (and `ok`).
  // Prints the failure line and returns false otherwise.
  bool finish(bool ok = true);

 private:
  Run& run_;
  std::string name_;
  OutputHandle handle_;
  bool open_ = false;
  bool ok_ = false;
};

}  // namespace vexlo
