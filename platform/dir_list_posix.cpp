#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

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
  std::vector<std::string> names;
  while (const struct dirent* e = ::readdir(d))
    if (wildcard_match(wildcard, e->d_name)) names.emplace_back(e->d_name);
  ::closedir(d);

  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return entries;
  for (std::string& name : names) {
    DirEntry entry;
    struct stat st;
    // The entry itself first: a link to a directory is never entered, which
    // also keeps a link back into the tree from looping.
    if (::fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      entry.kind = EntryKind::kDirectory;
    } else if (S_ISLNK(st.st_mode)) {
      if (::fstatat(dfd, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode))
        entry.kind = EntryKind::kFile;
    } else if (S_ISREG(st.st_mode)) {
      entry.kind = EntryKind::kFile;
    }
    entry.id.device = static_cast<uint64_t>(st.st_dev);
    entry.id.inode = static_cast<uint64_t>(st.st_ino);
    entry.name = std::move(name);
    entries.push_back(std::move(entry));
  }
  ::close(dfd);
  return entries;
}

std::string absolute_path(const std::string& path) {
  if (!path.empty() && path[0] == '/') return normalise_path(path, '/');
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
  return normalise_path(std::string(cwd) + "/" + path, '/');
}

}  // namespace vexlo
