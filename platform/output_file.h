// Creating output files: exact bytes, in one piece, and never at the cost of
// a file the run must keep (the input being scanned, or what a reinsertion
// reads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "platform/file_ops.h"

namespace vexlo {

// The files a run must not replace, and those it has written.
class OutputGuard {
 public:
  // Names longer than `longest_name` characters are never created.
  explicit OutputGuard(std::size_t longest_name)
      : longest_name_(longest_name) {}

  // The input being scanned, kept until the next one (or none): emptying it
  // would destroy the user's data. Checked on the opened output file.
  void set_input(const std::optional<FileId>& input) { input_ = input; }
  const FileId* input() const { return input_ ? &*input_ : nullptr; }
  // A file kept for the rest of the run.
  void protect(const FileId& id) { protected_.insert(id); }
  // True when `name` may be created: not over-long, and not leading to a
  // file kept for the run.
  bool may_create(const std::string& name) const;

  // Whether the files written are remembered: a tree search must not scan
  // them, and a run over one file needs no record, nor the look at each
  // new file that gives its identity. On until turned off.
  void set_remember_written(bool on) { remember_ = on; }
  bool remembers_written() const { return remember_; }
  void add_written(const FileId& id) {
    if (remember_) written_.insert(id);
  }
  bool written(const FileId& id) const { return written_.count(id) != 0; }

 private:
  std::size_t longest_name_;
  std::optional<FileId> input_;
  std::set<FileId> protected_;
  std::set<FileId> written_;
  bool remember_ = true;
};

// Writes `bytes` to a new (or emptied) file `name` that `guard` allows. A
// failed or short write removes the partial file. On failure prints
// "Could not write <name>\n" and returns false; on success records the
// file as written.
bool write_output_file(OutputGuard& guard, const std::string& name,
                       std::span<const uint8_t> bytes);

// An output file written piece by piece, with the same checks, message and
// clean-up as write_output_file. Destroying an unfinished stream removes the
// file without a message.
class OutputStream {
 public:
  OutputStream(OutputGuard& guard, std::string name);
  ~OutputStream();
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  // False once anything has failed; later writes are ignored.
  bool write(std::span<const uint8_t> bytes);
  // Closes the file, keeping it only when every step succeeded (and `ok`).
  // Prints the failure line and returns false otherwise.
  bool finish(bool ok = true);

 private:
  OutputGuard& guard_;
  std::string name_;
  OutputHandle handle_;
  bool open_ = false;
  bool ok_ = false;
};

}  // namespace vexlo
