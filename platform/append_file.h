// An output file that stays open and grows while the run goes on, so that
// what was written survives a run stopped part-way.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_id.h"
#include "platform/file_ops.h"

namespace vexlo {

class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Creates or empties the regular file `name` (never blocks on a FIFO,
  // refuses devices) and stores its identity in *id.
  bool open(const std::string& name, FileId* id);
  bool is_open() const { return open_; }
  // Writes every byte straight to the file, unbuffered. False on any
  // failure (the bytes may then be partly written).
  bool append(std::string_view bytes);
  // False when closing reported an error. What was written stays.
  bool close();

 private:
  OutputHandle out_;
  std::string name_;
  bool open_ = false;
};

}  // namespace vexlo
