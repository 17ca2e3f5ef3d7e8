// Raw disc images: the probe, the data stream's mapping and the scan over
// the stream read in place. The first two bytes pick the settings as in
// fuzz_scan; bit 0 of the third says how the rest makes the file: as it is,
// or as records of sectors (kind, fill, count, count bytes placed at the
// start or the end of the sector's data area), so that short inputs give
// many sectors. Everything is checked against plain references: a
// byte-by-byte map, and the plain offset loop over a copy of the stream for
// both the scan given a map and the whole scan of a raw image.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "disc/disc_image.h"
#include "extract/run.h"
#include "fuzz/check.h"
#include "fuzz/scan_reference.h"
#include "scan/disc_scan.h"
#include "tim/tim.h"

namespace {

constexpr uint8_t kSync[12] = {0,   255, 255, 255, 255, 255,
                               255, 255, 255, 255, 255, 0};

std::vector<uint8_t> sectors_from_records(const uint8_t* p, std::size_t n) {
  std::vector<uint8_t> file;
  std::size_t i = 0;
  // A dozen sectors keep the byte-by-byte references fast.
  while (i + 3 <= n && file.size() < 12 * 2352) {
    const uint8_t kind = p[i], fill = p[i + 1];
    std::size_t count = std::min<std::size_t>(p[i + 2], n - i - 3);
    const uint8_t* bytes = p + i + 3;
    i += 3 + count;
    std::vector<uint8_t> s(2352, fill);
    if ((kind & 3) != 3) {
      std::memcpy(s.data(), kSync, 12);
      s[15] = (kind & 3) == 1 ? 1 : (kind & 4) ? (kind >> 4) : 2;
      s[18] = s[22] =
          static_cast<uint8_t>((kind & 3) == 2 ? fill | 0x20 : fill & ~0x20);
    }
    const std::size_t data = (kind & 3) == 1 ? 16 : 24;
    const std::size_t at = (kind & 8) ? data + 2048 - count : data;
    std::memcpy(s.data() + at, bytes, count);
    file.insert(file.end(), s.begin(), s.end());
  }
  if (i < n) file.insert(file.end(), p + i, p + n);  // a part-sector tail
  return file;
}

// File offset of every stream byte, one sector at a time from the layout.
std::vector<std::size_t> reference_map(std::span<const uint8_t> f) {
  std::vector<std::size_t> raw;
  for (std::size_t s = 0; s + 2352 <= f.size(); s += 2352) {
    if (std::memcmp(f.data() + s, kSync, 12) != 0) continue;
    std::size_t data = 0;
    if (f[s + 15] == 1) data = 16;
    if (f[s + 15] == 2 && !(f[s + 18] & 0x20)) data = 24;
    if (data == 0) continue;
    for (std::size_t i = 0; i < 2048; ++i) raw.push_back(s + data + i);
  }
  return raw;
}

// Console output of a raw image's whole scan, its sectors read by
// `threads` threads.
std::string scanned(vexlo::Run& run, std::span<const uint8_t> file,
                    unsigned threads) {
  vexlo::InputScan input{.run = run, .path = {}, .disc = {}};
  return vexlo::fuzz::captured(
      [&] { vexlo::scan_disc_image(input, file, threads); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  if (size < 3) return 0;
  vexlo::Run run;
  vexlo::fuzz::pick_settings(bytes, run.settings);
  const std::vector<uint8_t> file =
      (bytes[2] & 1) ? sectors_from_records(bytes + 3, size - 3)
                     : std::vector<uint8_t>(bytes + 3, bytes + size);

  bool synced = file.size() >= 2352;
  for (std::size_t i = 0; i < 4 && (i + 1) * 2352 <= file.size(); ++i)
    synced = synced && std::memcmp(file.data() + i * 2352, kSync, 12) == 0;
  FUZZ_CHECK(vexlo::is_disc_image(file) == synced);
  vexlo::SectorFormat format = vexlo::SectorFormat::k2352;
  if (!synced && vexlo::probe_disc_image(file, &format)) {
    // The other sector sizes: every data segment lies inside the file.
    FUZZ_CHECK(format != vexlo::SectorFormat::k2352);
    const vexlo::DiscMap other = vexlo::map_disc_image(file, format);
    FUZZ_CHECK(other.whole_sectors == file.size() / other.sector_size);
    for (const uint32_t start : other.segment_start)
      FUZZ_CHECK(start + std::size_t{2048} <= file.size());
  }
  if (!synced) return 0;

  const vexlo::DiscMap map = vexlo::map_disc_image(file);
  const std::vector<std::size_t> raw = reference_map(file);
  FUZZ_CHECK(map.whole_sectors == file.size() / 2352);
  FUZZ_CHECK(map.stream_size() == raw.size());
  std::vector<uint8_t> stream(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    FUZZ_CHECK(vexlo::raw_offset(map, i) == raw[i]);
    const vexlo::SectorPosition p = vexlo::sector_position(map, i);
    FUZZ_CHECK(p.sector == raw[i] / 2352 && p.offset == i % 2048);
    stream[i] = file[raw[i]];
  }

  int32_t counter = 0;
  const std::string want =
      vexlo::fuzz::reference(run.settings, stream, &counter, &raw);
  char line[128];
  std::snprintf(line, sizeof line,
                "Disc image: %i sectors of 2352 bytes, scanning %i bytes of "
                "data.\n",
                static_cast<int>(file.size() / 2352),
                static_cast<int>(raw.size()));
  const std::string got = scanned(run, file, 1);
  if (got != line + want)
    std::fprintf(stderr, "scan printed:\n%s\nexpected:\n%s%s\n", got.c_str(),
                 line, want.c_str());
  FUZZ_CHECK(got == line + want);
  FUZZ_CHECK(run.tim_counter == counter);
  // The sectors split over threads, whatever the first byte says.
  run.tim_counter = 1;
  FUZZ_CHECK(scanned(run, file, 2 + bytes[0] % 6) == line + want);
  FUZZ_CHECK(run.tim_counter == counter);
  return 0;
}
