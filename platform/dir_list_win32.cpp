#include <windows.h>

#include "platform/dir_list.h"
#include "platform/file_id_win32.h"
#include "platform/path.h"
#include "platform/wide_path_win32.h"
#include "platform/wide_text.h"

namespace vexlo {

const char kPathSeparator = '\\';

namespace {

// What the walk may do with a listed entry. Links and junctions to
// directories are never entered, so a link back into the tree cannot make
// the walk loop; other reparse-point directories (cloud-synced folders) are
// plain directories to the walk. File links are followed like on other
// systems. A plain file is taken from the listing as it is: opening it to
// scan it refuses what is not a file on disk.
void classify(const WIN32_FIND_DATAW& found, const std::wstring& dir,
              DirEntry* entry) {
  const DWORD attr = found.dwFileAttributes;
  // The listing gives a reparse point's tag in dwReserved0.
  const bool reparse = (attr & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (attr & FILE_ATTRIBUTE_DIRECTORY) {
    const bool link = reparse && reparse_tag_is_link(found.dwReserved0);
    entry->kind = link ? EntryKind::kOther : EntryKind::kDirectory;
    return;
  }
  if (attr & FILE_ATTRIBUTE_DEVICE) return;  // kOther
  if (!reparse) {
    entry->kind = EntryKind::kFile;
    return;
  }
  // A file link: what it leads to decides. No access rights asked for: this
  // only looks at the file, so it works for files that cannot be read as
  // well.
  const std::wstring path = dir + found.cFileName;
  const HANDLE h = ::CreateFileW(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // Let the scan try it and report it if it cannot be opened.
    entry->kind = EntryKind::kFile;
    return;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    entry->kind = EntryKind::kOther;
  } else if (::GetFileInformationByHandle(h, &info) &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    entry->kind = EntryKind::kOther;  // a file link that leads to a directory
  } else {
    entry->kind = EntryKind::kFile;
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
  std::wstring dir;
  if (!wide_path(cut == std::string::npos ? std::string(".\\")
                                          : pattern.substr(0, cut + 1),
                 &dir))
    return entries;
  if (dir.back() != L'\\') dir += L'\\';

  // Every name is listed and matched by the rules of every other platform:
  // the system's own matching differs between systems and may match 8.3
  // short names. The listing is read whole first, then each entry is looked
  // at.
  WIN32_FIND_DATAW found;
  const HANDLE h =
      ::FindFirstFileExW((dir + L"*").c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) return entries;
  std::vector<std::pair<WIN32_FIND_DATAW, std::string>> matched;
  do {
    const std::wstring_view wide_name(found.cFileName);
    std::string name =
        utf16_to_utf8(std::u16string(wide_name.begin(), wide_name.end()));
    if (wildcard_match(wildcard, name))
      matched.emplace_back(found, std::move(name));
  } while (::FindNextFileW(h, &found));
  ::FindClose(h);

  for (auto& [f, name] : matched) {
    DirEntry entry;
    entry.name = std::move(name);
    classify(f, dir, &entry);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string absolute_path(const std::string& path) { return full_path(path); }

}  // namespace vexlo
