#include "driver/output_file.h"

#include <cstdio>

#include "driver/file_ops.h"

namespace vexlo {

bool write_output_file(Run& run, const std::string& name,
                       std::span<const uint8_t> bytes) {
  bool ok = name.size() <= kTextMax;
  if (ok && run.have_input_id) {
    // Emptying the file being scanned would destroy the user's data.
    FileId existing;
    if (file_id_of(name, &existing) && existing == run.input_id) ok = false;
  }
  FileId created;
  if (ok) ok = create_and_write(name, bytes, &created);
  if (!ok) {
    std::printf("Could not write %s\n", name.c_str());
    return false;
  }
  run.outputs.insert(created);
  return true;
}

}  // namespace vexlo
