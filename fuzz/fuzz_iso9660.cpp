// The ISO 9660 reader: the input's bytes are the disc's sectors from 16 on
// (the last one padded with zeros). Every path must be safe to show, the
// files sorted, and find() must agree with a search over all the files.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "disc/iso9660.h"
#include "fuzz/check.h"

namespace {

bool safe_path(const std::string& p) {
  if (p.empty() || p.front() == '/' || p.back() == '/') return false;
  for (const char c : p)
    if (c < 0x20 || c > 0x7E || c == '\\') return false;
  std::size_t from = 0;
  for (;;) {
    const std::size_t to = std::min(p.find('/', from), p.size());
    const std::string part = p.substr(from, to - from);
    if (part.empty() || part == "." || part == "..") return false;
    if (to == p.size()) return true;
    from = to + 1;
  }
}

// The file holding disc byte `at`, as find() picks it: of those holding it,
// the latest start, then the last path.
const vexlo::DiscFile* reference(const std::vector<vexlo::DiscFile>& files,
                                 uint64_t at) {
  const vexlo::DiscFile* best = nullptr;
  for (const vexlo::DiscFile& f : files) {
    const uint64_t start = uint64_t{f.extent} * 2048;
    if (at < start || at - start >= f.size) continue;
    if (best == nullptr || f.extent > best->extent ||
        (f.extent == best->extent && f.path >= best->path))
      best = &f;
  }
  return best;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  std::vector<uint8_t> disc(bytes, bytes + size);
  disc.resize((size + 2047) / 2048 * 2048, 0);
  const std::size_t sectors = disc.size() / 2048;
  std::size_t reads = 0;
  const vexlo::DiscFiles files =
      vexlo::read_iso9660([&](uint32_t n) -> std::span<const uint8_t> {
        ++reads;
        if (n < 16 || n - 16 >= sectors) return {};
        return std::span(disc).subspan((n - 16) * std::size_t{2048}, 2048);
      });
  FUZZ_CHECK(reads <= 32 + vexlo::kIsoMaxDirectorySectors);
  const std::vector<vexlo::DiscFile>& all = files.files();
  FUZZ_CHECK(all.size() <= vexlo::kIsoMaxFiles);
  for (std::size_t i = 0; i < all.size(); ++i) {
    FUZZ_CHECK(safe_path(all[i].path));
    FUZZ_CHECK(i == 0 || all[i - 1].extent <= all[i].extent);
  }
  // Each file's first, last and next byte, and some the input names.
  std::vector<uint64_t> probes;
  for (std::size_t i = 0; i < all.size() && i < 64; ++i) {
    const uint64_t start = uint64_t{all[i].extent} * 2048;
    probes.insert(probes.end(),
                  {start, start + all[i].size - 1, start + all[i].size});
  }
  for (std::size_t i = 0; i + 4 <= size && i < 64; i += 4) {
    uint32_t v;
    std::memcpy(&v, bytes + i, 4);
    probes.push_back(v);
  }
  for (const uint64_t at : probes) {
    if (at >> 43 != 0) continue;  // past 32-bit sector numbers
    const auto hit = files.find(static_cast<uint32_t>(at / 2048),
                                static_cast<uint32_t>(at % 2048));
    const vexlo::DiscFile* want = reference(all, at);
    FUZZ_CHECK(hit.has_value() == (want != nullptr));
    if (!hit) continue;
    FUZZ_CHECK(hit->file->extent == want->extent &&
               hit->file->path == want->path);
    FUZZ_CHECK(hit->offset == at - uint64_t{hit->file->extent} * 2048 &&
               hit->offset < hit->file->size);
  }
  return 0;
}
