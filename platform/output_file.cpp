#include "platform/output_file.h"

#include <cstdio>

#include "platform/failures.h"
#include "platform/file_ops.h"

namespace vexlo {

namespace {

// Names that may be created at all: not over-long.
bool may_create(const std::string& name) { return name.size() <= kTextMax; }

// The file being scanned, which no output may lead to (emptying it would
// destroy the user's data); checked on the opened file.
const FileId* input_of(const Run& run) {
  return run.have_input_id ? &run.input_id : nullptr;
}

}  // namespace

bool write_output_file(Run& run, const std::string& name,
                       std::span<const uint8_t> bytes) {
  bool ok = may_create(name);
  FileId created;
  if (ok) ok = create_and_write(name, bytes, &created, input_of(run));
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
  open_ = may_create(name_) && open_output(name_, &handle_, input_of(run_));
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
