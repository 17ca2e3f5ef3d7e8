#include "platform/output_file.h"

#include <cstdio>

#include "platform/failures.h"
#include "platform/file_ops.h"

namespace vexlo {

namespace {

// Names that may be created at all: not over-long, and not leading to the
// file being scanned (emptying it would destroy the user's data).
bool may_create(const Run& run, const std::string& name) {
  if (name.size() > kTextMax) return false;
  FileId existing;
  return !(run.have_input_id && file_id_of(name, &existing) &&
           existing == run.input_id);
}

}  // namespace

bool write_output_file(Run& run, const std::string& name,
                       std::span<const uint8_t> bytes) {
  bool ok = may_create(run, name);
  FileId created;
  if (ok) ok = create_and_write(name, bytes, &created);
  if (!ok) {
    std::printf("Could not write %s\n", name.c_str());
    note_failure();
    return false;
  }
  run.outputs.insert(created);
  return true;
}

OutputStream::OutputStream(Run& run, std::string name)
    : run_(run), name_(std::move(name)) {
  open_ = may_create(run_, name_) && open_output(name_, &handle_);
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
  run_.outputs.insert(handle_.id);
  return true;
}

}  // namespace vexlo
