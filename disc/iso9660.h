// The ISO 9660 file system of a disc: which file on the disc holds a given
// byte, so that a TIM found in a whole-disc image can be named by its file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vexlo {

// The 2048 data bytes of logical sector n of the disc, or an empty span
// where the disc has no such data sector.
using ReadSector = std::function<std::span<const uint8_t>(uint32_t n)>;

struct DiscFile {
  // From the root, "/" between names, the ";1" version and a bare trailing
  // dot cut. Bytes outside printable ASCII, "/" and "\" are "_".
  std::string path;
  uint32_t extent = 0;  // first sector of its data
  uint32_t size = 0;    // bytes
};

// Bounds that no real disc comes near; they keep a hostile one small.
constexpr std::size_t kIsoMaxFiles = std::size_t{1} << 18;
constexpr std::size_t kIsoMaxPathBytes = std::size_t{32} << 20;
constexpr std::size_t kIsoMaxDirectorySectors = 16384;  // 32 MiB read
constexpr int kIsoMaxDepth = 32;

// A disc's files, sorted by extent then path, and which one holds each byte.
class DiscFiles {
 public:
  DiscFiles() = default;
  explicit DiscFiles(std::vector<DiscFile> files);

  const std::vector<DiscFile>& files() const { return files_; }
  bool empty() const { return files_.empty(); }

  struct Hit {
    const DiscFile* file = nullptr;
    uint32_t offset = 0;  // in the file
  };
  // The file whose bytes hold byte `offset` (< 2048) of sector `sector`:
  // where files overlap, the one starting last (then the last path).
  std::optional<Hit> find(uint32_t sector, uint32_t offset) const;

 private:
  std::vector<DiscFile> files_;
  // From `begin` (a disc byte) up to the next run's begin: files_[file], or
  // no file when file is kNone.
  struct Run {
    uint64_t begin = 0;
    uint32_t file = 0;
  };
  static constexpr uint32_t kNone = UINT32_MAX;
  std::vector<Run> runs_;
};

// Reads the primary volume descriptor (from sector 16 on), the root
// directory and every directory below it. Empty when there is no ISO 9660
// file system; a broken one gives the files that could be read.
DiscFiles read_iso9660(const ReadSector& read);

// True when `file` is a plain image of 2048-byte sectors: a whole number of
// them, with a volume descriptor ("\x01CD001") at sector 16.
bool is_iso_image(std::span<const uint8_t> file);

}  // namespace vexlo
