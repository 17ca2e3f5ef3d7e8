// In-process costs of naming disc files and spotting repeats, for
// bench/run_disc_files_bench.sh:
//   vexlo_disc_files_bench fs IMAGE     reading the ISO 9660 file system of a
//                                       plain 2048-byte or a raw image
//   vexlo_disc_files_bench hash FILE    hashing every TIM in FILE and keeping
//                                       the table of first numbers
//   vexlo_disc_files_bench raw ISO OUT  OUT: ISO in raw Mode 2 Form 1 sectors
// Times are the median of 15 runs after one that warms up.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "disc/disc_image.h"
#include "disc/iso9660.h"
#include "extract/repeats.h"
#include "extract/run.h"
#include "scan/stream_scan.h"
#include "tim/tim.h"

namespace {

std::vector<uint8_t> load(const char* path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

template <class F>
double median_ms(F&& f) {
  std::vector<double> ms;
  for (int i = 0; i < 16; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    if (i > 0)
      ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

int fs(const char* path) {
  const std::vector<uint8_t> file = load(path);
  const std::span<const uint8_t> bytes(file);
  std::size_t files = 0;
  double ms = 0;
  if (vexlo::is_disc_image(bytes)) {
    const vexlo::DiscMap map = vexlo::map_disc_image(bytes);
    ms = median_ms([&] {
      files = vexlo::read_disc_files(vexlo::DataStream::in_image(bytes, map))
                  .files.files()
                  .size();
    });
  } else {
    ms = median_ms([&] {
      files = vexlo::read_iso9660([&](uint32_t n) -> std::span<const uint8_t> {
                if (n >= bytes.size() / 2048) return {};
                return bytes.subspan(std::size_t{n} * 2048, 2048);
              })
                  .files()
                  .size();
    });
  }
  std::printf("%s: %zu files, file system read in %.3f ms\n", path, files, ms);
  return files > 0 ? 0 : 1;
}

int hash(const char* path) {
  const std::vector<uint8_t> file = load(path);
  std::vector<std::span<const uint8_t>> tims;
  for (std::size_t off = 0; off + 8 <= file.size(); ++off) {
    if (!vexlo::tim_header_candidate(file.data() + off)) continue;
    const auto found = vexlo::examine_offset(file, off, -1);
    if (found && found->total >= 64 && found->total <= 4000000)
      tims.push_back(std::span(file).subspan(off, found->total));
  }
  std::size_t distinct = 0;
  const double ms = median_ms([&] {
    vexlo::RepeatTable table;
    int32_t number = 1;
    for (const auto& t : tims) {
      const vexlo::TimKey key = vexlo::tim_key(t);
      if (table.find(key) == 0) table.add(key, number);
      ++number;
    }
    distinct = table.size();
  });
  std::printf("%s: %zu TIMs (%zu distinct) hashed and looked up in %.3f ms\n",
              path, tims.size(), distinct, ms);
  return 0;
}

int raw(const char* in, const char* out) {
  const std::vector<uint8_t> iso = load(in);
  std::ofstream f(out, std::ios::binary);
  uint8_t s[2352];
  for (std::size_t at = 0; at + 2048 <= iso.size(); at += 2048) {
    std::memset(s, 0, sizeof s);
    std::memset(s + 1, 0xFF, 10);
    const std::size_t lba = at / 2048 + 150;
    const auto bcd = [](std::size_t v) {
      return static_cast<uint8_t>(v / 10 * 16 + v % 10);
    };
    s[12] = bcd(lba / 4500);
    s[13] = bcd(lba / 75 % 60);
    s[14] = bcd(lba % 75);
    s[15] = 2;
    s[18] = s[22] = 8;  // Form 1 data
    std::memcpy(s + 24, iso.data() + at, 2048);
    f.write(reinterpret_cast<const char*>(s), sizeof s);
  }
  return f ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "fs" && argc == 3) return fs(argv[2]);
  if (mode == "hash" && argc == 3) return hash(argv[2]);
  if (mode == "raw" && argc == 4) return raw(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s fs IMAGE | hash FILE | raw ISO OUT\n",
               argv[0]);
  return 2;
}
