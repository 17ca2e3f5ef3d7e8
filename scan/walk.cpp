#include "scan/walk.h"

#include "platform/dir_list.h"
#include "scan/scan_file.h"

namespace vexlo {

namespace {

// `dir` with one trailing separator removed, then the separator and the
// wildcard.
std::string pattern_in(const std::string& dir, const std::string& wildcard) {
  std::string p = dir;
  if (!p.empty() && p.back() == kPathSeparator) p.pop_back();
  p += kPathSeparator;
  p += wildcard;
  return p;
}

// Lists `pattern` and gives each entry's absolute path; entries whose path
// would not fit the working path are left out.
template <typename Visit>
void for_each_entry(const std::string& pattern, Visit visit) {
  if (pattern.size() > kTextMax) return;
  std::string base = absolute_path(pattern);
  const std::size_t cut = base.rfind(kPathSeparator);
  if (cut == std::string::npos) return;
  base.resize(cut);
  if (base.empty() || (base.back() != '/' && base.back() != kPathSeparator))
    base += kPathSeparator;
  for (const DirEntry& e : list_directory(pattern)) {
    const std::string full = base + e.name;
    if (full.size() <= kTextMax) visit(e, full);
  }
}

}  // namespace

void walk_directory(Run& run, const std::string& dir) {
  for_each_entry(
      pattern_in(dir, "*."), [&](const DirEntry& e, const std::string& full) {
        if (e.kind == EntryKind::kDirectory && e.name != "." && e.name != "..")
          walk_directory(run, full);
      });
  for_each_entry(pattern_in(dir, run.settings.searchtype),
                 [&](const DirEntry& e, const std::string& full) {
                   // Never feed on this run's own output (known once it is
                   // open).
                   if (e.kind == EntryKind::kFile) scan_file(run, full, true);
                 });
}

}  // namespace vexlo
