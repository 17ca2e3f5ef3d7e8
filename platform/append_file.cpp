#include "platform/append_file.h"

namespace vexlo {

bool AppendFile::open(const std::string& name, FileId* id) {
  close();
  if (!open_output(name, &out_)) return false;
  name_ = name;
  open_ = true;
  *id = out_.id;
  return true;
}

bool AppendFile::append(std::string_view bytes) {
  if (!open_) return false;
  return write_output(
      out_, {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

bool AppendFile::close() {
  if (!open_) return true;
  open_ = false;
  return close_output(out_, name_, true);
}

}  // namespace vexlo
