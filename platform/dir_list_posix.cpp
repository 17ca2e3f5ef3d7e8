#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <utility>

#include "platform/dir_list.h"
#include "platform/path.h"

namespace vexlo {

const char kPathSeparator = '/';

std::vector<DirEntry> list_directory(const std::string& pattern) {
  std::vector<DirEntry> entries;
  const std::size_t cut = pattern.rfind('/');
  const std::string dir = cut == std::string::npos
                              ? "."
                              : (cut == 0 ? "/" : pattern.substr(0, cut));
  const std::string wildcard =
      cut == std::string::npos ? pattern : pattern.substr(cut + 1);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return entries;
  // The listing gives each entry's type: only links, and entries of file
  // systems that leave the type out, are looked at one by one.
  std::vector<std::pair<std::string, unsigned char>> names;
  while (const struct dirent* e = ::readdir(d))
    if (wildcard_match(wildcard, e->d_name))
      names.emplace_back(e->d_name, e->d_type);
  const int dfd = ::dirfd(d);
  for (auto& [name, type] : names) {
    DirEntry entry;
    struct stat st;
    if (type == DT_UNKNOWN) {
      if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode)   ? DT_DIR
             : S_ISLNK(st.st_mode) ? DT_LNK
             : S_ISREG(st.st_mode) ? DT_REG
                                   : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      entry.kind = EntryKind::kDirectory;
    } else if (type == DT_REG) {
      entry.kind = EntryKind::kFile;
    } else if (type == DT_LNK) {
      // A link to a directory is never entered, which also keeps a link
      // back into the tree from looping; a link to a file is scanned.
      if (::fstatat(dfd, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode))
        entry.kind = EntryKind::kFile;
    }
    entry.name = std::move(name);
    entries.push_back(std::move(entry));
  }
  ::closedir(d);
  return entries;
}

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return normalise_path(path, '/');
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
  return normalise_path(std::string(cwd) + "/" + path, '/');
}

}  // namespace vexlo
