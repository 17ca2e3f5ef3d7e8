#include "platform/output_file.h"

#include <cstdio>

#include "platform/failures.h"
#include "platform/file_ops.h"

namespace vexlo {

bool OutputGuard::may_create(const std::string& name) const {
  if (name.size() > longest_name_) return false;
  // Only a file kept for the run costs a look at the name; the input is
  // checked on the opened file.
  if (protected_.empty()) return true;
  FileId existing;
  return !(file_id_of(name, &existing) && protected_.count(existing) != 0);
}

bool write_output_file(OutputGuard& guard, const std::string& name,
                       std::span<const uint8_t> bytes) {
  bool ok = guard.may_create(name);
  FileId created;
  if (ok)
    ok = create_and_write(name, bytes, &created, guard.input(),
                          guard.remembers_written());
  if (!ok) {
    std::printf("Could not write %s\n", name.c_str());
    note_failure();
    return false;
  }
  guard.add_written(created);
  return true;
}

OutputStream::OutputStream(OutputGuard& guard, std::string name)
    : guard_(guard), name_(std::move(name)) {
  open_ =
      guard_.may_create(name_) &&
      open_output(name_, &handle_, guard_.input(), guard_.remembers_written());
  ok_ = open_;
}

OutputStream::~OutputStream() {
  if (open_) close_output(handle_, name_, false);
}

bool OutputStream::write(std::span<const uint8_t> bytes) {
  if (ok_ && !bytes.empty()) ok_ = write_output(handle_, bytes);
  return ok_;
}

bool OutputStream::finish(bool ok) {
  if (open_) {
    open_ = false;
    ok_ = close_output(handle_, name_, ok_ && ok);
  } else {
    ok_ = false;
  }
  if (!ok_) {
    std::printf("Could not write %s\n", name_.c_str());
    note_failure();
    return false;
  }
  guard_.add_written(handle_.id);
  return true;
}

}  // namespace vexlo
