#include "reinsert/ppf.h"

#include <algorithm>

namespace vexlo {

std::vector<uint8_t> ppf_patch(const std::string& description,
                               std::span<const uint8_t> block,
                               const std::vector<PatchRun>& runs) {
  std::vector<uint8_t> out = {'P', 'P', 'F', '3', '0', 0x02};
  std::string text = description.substr(0, 50);
  text.resize(50, ' ');
  out.insert(out.end(), text.begin(), text.end());
  const bool check = block.size() == kPpfBlockSize;
  // Image type BIN, block check, undo data, a zero byte.
  out.insert(out.end(), {0, uint8_t{check}, 1, 0});
  if (check) out.insert(out.end(), block.begin(), block.end());
  for (const PatchRun& run : runs) {
    const std::size_t n = std::min(run.before.size(), run.after.size());
    std::size_t i = 0;
    while (i < n) {
      if (run.before[i] == run.after[i]) {
        ++i;
        continue;
      }
      std::size_t end = i;
      while (end < n && end - i < 255 && run.before[end] != run.after[end])
        ++end;
      const uint64_t at = run.offset + i;
      for (int b = 0; b < 8; ++b)
        out.push_back(static_cast<uint8_t>(at >> (8 * b)));
      out.push_back(static_cast<uint8_t>(end - i));
      out.insert(out.end(), run.after.begin() + i, run.after.begin() + end);
      out.insert(out.end(), run.before.begin() + i, run.before.begin() + end);
      i = end;
    }
  }
  return out;
}

}  // namespace vexlo
