#include "disc/iso9660.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <unordered_set>

namespace vexlo {

namespace {

constexpr uint64_t kSector = 2048;
constexpr uint32_t kFirstDescriptor = 16;
// Volume descriptors looked at before giving up on a primary one.
constexpr uint32_t kMaxDescriptors = 32;

uint32_t u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool is_descriptor(std::span<const uint8_t> s, uint8_t type) {
  return s.size() >= kSector && s[0] == type &&
         std::memcmp(s.data() + 1, "CD001", 5) == 0;
}

std::string clean_name(const uint8_t* name, std::size_t n) {
  for (std::size_t i = n; i-- > 0;)
    if (name[i] == ';') {
      n = i;
      break;
    }
  if (n > 0 && name[n - 1] == '.') --n;
  std::string s;
  s.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t c = name[i];
    s += c < 0x20 || c > 0x7E || c == '/' || c == '\\' ? '_'
                                                       : static_cast<char>(c);
  }
  // Never a name that reads as the folder itself or its parent.
  if (s.empty() || s == "." || s == "..") s.assign(1, '_');
  return s;
}

struct Directory {
  uint32_t extent;
  uint32_t size;
  std::string path;  // "" for the root, else ending in "/"
  int depth;
};

// The data of a directory record's extent, past its extended attributes;
// false when that lies beyond 32-bit sector numbers.
bool data_extent(const uint8_t* record, uint32_t* extent) {
  const uint64_t e = uint64_t{u32le(record + 2)} + record[1];
  if (e > UINT32_MAX) return false;
  *extent = static_cast<uint32_t>(e);
  return true;
}

}  // namespace

DiscFiles::DiscFiles(std::vector<DiscFile> files) : files_(std::move(files)) {
  std::sort(
      files_.begin(), files_.end(), [](const DiscFile& a, const DiscFile& b) {
        return a.extent != b.extent ? a.extent < b.extent : a.path < b.path;
      });
  // A sweep over every file's first and past-the-end byte: at each, the
  // open file with the highest index (the latest start) owns what follows.
  struct Edge {
    uint64_t at;
    uint32_t file;
  };
  std::vector<Edge> starts;
  for (uint32_t i = 0; i < files_.size(); ++i)
    if (files_[i].size > 0) starts.push_back({files_[i].extent * kSector, i});
  std::vector<uint64_t> points;
  points.reserve(2 * starts.size());
  for (const Edge& e : starts) {
    points.push_back(e.at);
    points.push_back(e.at + files_[e.file].size);
  }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  std::priority_queue<uint32_t> open;
  std::size_t next = 0;
  for (const uint64_t p : points) {
    for (; next < starts.size() && starts[next].at == p; ++next)
      open.push(starts[next].file);
    while (!open.empty() &&
           files_[open.top()].extent * kSector + files_[open.top()].size <= p)
      open.pop();
    const uint32_t owner = open.empty() ? kNone : open.top();
    if (runs_.empty() ? owner != kNone : runs_.back().file != owner)
      runs_.push_back({p, owner});
  }
}

std::optional<DiscFiles::Hit> DiscFiles::find(uint32_t sector,
                                              uint32_t offset) const {
  const uint64_t at = sector * kSector + offset;
  auto it =
      std::upper_bound(runs_.begin(), runs_.end(), at,
                       [](uint64_t v, const Run& r) { return v < r.begin; });
  if (it == runs_.begin()) return std::nullopt;
  --it;
  if (it->file == kNone) return std::nullopt;
  const DiscFile& f = files_[it->file];
  return Hit{&f, static_cast<uint32_t>(at - uint64_t{f.extent} * kSector)};
}

DiscFiles read_iso9660(const ReadSector& read) {
  std::span<const uint8_t> pvd;
  for (uint32_t n = kFirstDescriptor; n < kFirstDescriptor + kMaxDescriptors;
       ++n) {
    const std::span<const uint8_t> s = read(n);
    if (is_descriptor(s, 1)) {
      pvd = s;
      break;
    }
    if (!is_descriptor(s, 0) && !is_descriptor(s, 2) && !is_descriptor(s, 3))
      break;  // the set's terminator (255), or no volume descriptor at all
  }
  // Every extent is counted in 2048-byte blocks.
  if (pvd.empty() || (pvd[128] | pvd[129] << 8) != int{kSector} ||
      pvd[156] < 34)
    return {};

  std::vector<DiscFile> files;
  std::size_t entries = 0, path_bytes = 0;
  std::size_t sectors_left = kIsoMaxDirectorySectors;
  std::unordered_set<uint32_t> visited;
  std::vector<Directory> todo;
  uint32_t root = 0;
  if (!data_extent(pvd.data() + 156, &root)) return {};
  todo.push_back({root, u32le(pvd.data() + 166), "", 0});
  visited.insert(root);

  while (!todo.empty() && sectors_left > 0) {
    const Directory dir = std::move(todo.back());
    todo.pop_back();
    const std::size_t count = std::min<std::size_t>(
        (uint64_t{dir.size} + kSector - 1) / kSector, sectors_left);
    for (std::size_t i = 0; i < count; ++i) {
      if (uint64_t{dir.extent} + i > UINT32_MAX) break;
      const std::span<const uint8_t> s =
          read(static_cast<uint32_t>(dir.extent + i));
      if (s.size() < kSector) break;  // past the end of the disc
      --sectors_left;
      // Records never cross a sector; a zero length ends the sector's.
      for (std::size_t pos = 0; pos + 33 < kSector && s[pos] != 0;
           pos += s[pos]) {
        const uint8_t* r = s.data() + pos;
        const std::size_t len = r[0], name_len = r[32];
        if (len < 34 || pos + len > kSector) break;
        if (33 + name_len > len) continue;
        // The directory itself and its parent.
        if (name_len == 1 && r[33] <= 1) continue;
        uint32_t extent = 0;
        if (!data_extent(r, &extent)) continue;
        const std::string name = clean_name(r + 33, name_len);
        const std::size_t n = dir.path.size() + name.size() + 1;
        if (entries == kIsoMaxFiles || n > kIsoMaxPathBytes - path_bytes)
          return DiscFiles(std::move(files));
        ++entries;
        path_bytes += n;
        const uint32_t size = u32le(r + 10);
        if (r[25] & 2) {
          if (dir.depth < kIsoMaxDepth && visited.insert(extent).second)
            todo.push_back(
                {extent, size, dir.path + name + "/", dir.depth + 1});
        } else {
          files.push_back({dir.path + name, extent, size});
        }
      }
    }
  }
  return DiscFiles(std::move(files));
}

bool is_iso_image(std::span<const uint8_t> file) {
  constexpr std::size_t at = kFirstDescriptor * kSector;
  return file.size() % kSector == 0 && file.size() >= at + kSector &&
         file[at] == 1 && std::memcmp(file.data() + at + 1, "CD001", 5) == 0;
}

}  // namespace vexlo
