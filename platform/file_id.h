// Identity of a file on disk (device and inode on POSIX), used to tell
// whether two names lead to the same file.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace vexlo {

struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};

// Identity of the file that `path` names, following links. False when the
// path does not name an existing file.
bool file_id_of(const std::string& path, FileId* id);

}  // namespace vexlo
