// PPF 3.0 patches: the changed bytes of a file with their originals, so
// that any PPF tool can apply the patch and undo it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vexlo {

// Where block check data begins and how long it is.
constexpr uint64_t kPpfBlockAt = 0x9320;
constexpr std::size_t kPpfBlockSize = 1024;

// One changed run: `before` and `after` have the same length.
struct PatchRun {
  uint64_t offset = 0;
  std::vector<uint8_t> before;
  std::vector<uint8_t> after;
};

// The whole patch file. `description` is cut or space-padded to 50 bytes;
// `block` holds the original file's 1024 bytes at 0x9320, or is empty when
// the file is shorter. `runs` must be in ascending, non-overlapping order;
// only their differing bytes are recorded, 255 at most per record.
std::vector<uint8_t> ppf_patch(const std::string& description,
                               std::span<const uint8_t> block,
                               const std::vector<PatchRun>& runs);

}  // namespace vexlo
