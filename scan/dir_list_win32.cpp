#include <windows.h>

#include "driver/file_id_win32.h"
#include "scan/dir_list.h"
#include "scan/path.h"

namespace vexlo {

const char kPathSeparator = '\\';

namespace {

// Longest absolute pattern the ANSI listing functions take (MAX_PATH less
// the terminator).
constexpr std::size_t kPatternMax = MAX_PATH - 1;

std::string full_path(const std::string& path) {
  char small[MAX_PATH];
  DWORD n = ::GetFullPathNameA(path.c_str(), sizeof small, small, nullptr);
  if (n == 0) return {};
  if (n < sizeof small) return std::string(small, n);
  // Too long for the small buffer: n is the size needed, terminator included.
  std::string big(n, '\0');
  n = ::GetFullPathNameA(path.c_str(), static_cast<DWORD>(big.size()),
                         big.data(), nullptr);
  if (n == 0 || n >= big.size()) return {};
  big.resize(n);
  return big;
}

// What the walk may do with a listed entry, and its identity. Links and
// junctions to directories are never entered, so a link back into the tree
// cannot make the walk loop; file links are followed like on other systems.
void classify(const WIN32_FIND_DATAA& found, const std::string& dir,
              DirEntry* entry) {
  const DWORD attr = found.dwFileAttributes;
  if (attr & FILE_ATTRIBUTE_DIRECTORY) {
    entry->kind = (attr & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::kOther
                                                        : EntryKind::kDirectory;
    return;
  }
  if (attr & FILE_ATTRIBUTE_DEVICE) return;  // kOther
  // No access rights asked for: this only looks at the file, so it works
  // for files that cannot be read as well.
  const std::string path = dir + found.cFileName;
  const HANDLE h = ::CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // Let the scan try it and report it if it cannot be opened.
    entry->kind = EntryKind::kFile;
    entry->id = unique_file_id();
    return;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    entry->kind = EntryKind::kOther;
  } else if (!::GetFileInformationByHandle(h, &info)) {
    entry->kind = EntryKind::kFile;
    entry->id = unique_file_id();
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    entry->kind = EntryKind::kOther;  // a file link that leads to a directory
  } else {
    entry->kind = EntryKind::kFile;
    entry->id.device = info.dwVolumeSerialNumber;
    entry->id.inode =
        (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  ::CloseHandle(h);
}

}  // namespace

std::vector<DirEntry> list_directory(const std::string& pattern) {
  std::vector<DirEntry> entries;
  const std::size_t cut = pattern.find_last_of("\\/");
  const std::string wildcard =
      cut == std::string::npos ? pattern : pattern.substr(cut + 1);
  // The directory part keeps its separator, so that a drive root stays the
  // root; the wildcard is kept apart because making a path absolute drops
  // trailing dots, and "*." must stay "*.".
  std::string dir =
      full_path(cut == std::string::npos ? std::string(".\\")
                                         : pattern.substr(0, cut + 1));
  if (dir.empty()) return entries;
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  if (dir.size() + wildcard.size() > kPatternMax) return entries;

  WIN32_FIND_DATAA found;
  const HANDLE h = ::FindFirstFileA((dir + wildcard).c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return entries;
  // Read the listing whole first, then look at each entry. The system's own
  // matching differs between systems (and may match 8.3 short names), so
  // the names are matched again by the rules of every other platform.
  std::vector<WIN32_FIND_DATAA> matched;
  do {
    if (wildcard_match(wildcard, found.cFileName)) matched.push_back(found);
  } while (::FindNextFileA(h, &found));
  ::FindClose(h);

  for (const WIN32_FIND_DATAA& f : matched) {
    DirEntry entry;
    entry.name = f.cFileName;
    classify(f, dir, &entry);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string absolute_path(const std::string& path) { return full_path(path); }

}  // namespace vexlo
