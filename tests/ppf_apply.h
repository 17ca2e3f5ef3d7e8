// An independent PPF 3.0 reader for tests: applies a patch, or its undo
// data, to a file's bytes. False when the patch is malformed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace vexlo::test {

inline bool ppf_apply(const std::vector<uint8_t>& ppf,
                      std::vector<uint8_t>& file, bool undo) {
  if (ppf.size() < 60 || std::string(ppf.begin(), ppf.begin() + 5) != "PPF30" ||
      ppf[5] != 2 || ppf[58] != 1)
    return false;
  std::size_t at = 60;
  if (ppf[57] == 1) {
    if (ppf.size() < at + 1024) return false;
    // The block identifies the original: checked before patching it.
    if (!undo && (file.size() < 0x9320 + 1024 ||
                  !std::equal(ppf.begin() + at, ppf.begin() + at + 1024,
                              file.begin() + 0x9320)))
      return false;
    at += 1024;
  }
  while (at < ppf.size()) {
    if (ppf.size() - at < 9) return false;
    uint64_t off = 0;
    for (int i = 0; i < 8; ++i) off |= uint64_t{ppf[at + i]} << (8 * i);
    const std::size_t n = ppf[at + 8];
    at += 9;
    if (n == 0 || ppf.size() - at < 2 * n || off + n > file.size())
      return false;
    const auto from = ppf.begin() + at + (undo ? n : 0);
    std::copy(from, from + n, file.begin() + off);
    at += 2 * n;
  }
  return true;
}

}  // namespace vexlo::test
