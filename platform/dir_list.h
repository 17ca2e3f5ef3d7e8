// The directory operations the tree search needs: a listing by wildcard
// pattern, the kind of each entry, and absolute paths. One implementation per
// platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vexlo {

// The separator the walk builds paths with.
extern const char kPathSeparator;

enum class EntryKind {
  kDirectory,  // a real directory, not a link to one
  kFile,       // a regular file, or a link to one
  kOther,      // anything else: never entered, never scanned
};

// Only what the listing itself tells: a file's identity is had when it is
// opened, without another look at each entry.
struct DirEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
};

// The entries of the directory that `pattern` (directory, separator,
// wildcard) names whose names match the wildcard, read whole before the
// caller acts on any of them, in the order the system returns them. A
// directory that cannot be read yields none. May yield "." and "..".
std::vector<DirEntry> list_directory(const std::string& pattern);

// `path` joined to the current directory when relative, with "." and ".."
// resolved and doubled separators folded, without following links. Empty
// when the current directory cannot be found.
std::string absolute_path(const std::string& path);

}  // namespace vexlo
