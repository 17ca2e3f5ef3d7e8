// Writes the inputs of the whole-process benchmark.
//   vexlo_bench_input KIND BYTES FILE
// KIND: random | ten_word (10 00 00 00 repeated) | all_ten (every byte 0x10)
//       | zero | near_miss (4-bit headers with a wrong CLUT length)
//       | dense (20000 small TIMs of every mode in random filler)
//       | disc (a raw 2352-byte CD image of random data in Form 1 sectors,
//         every tenth sector Form 2, holding 20 TIMs that cross sectors)
//       | disc100 (the same holding 100 TIMs: the reinsertion benchmark)
//       | cd_mix (as disc, but the Form 1 data random in its low nibbles
//         only, so that it compresses to about half, as real discs do)
//       | cd_mix100 (the same holding 100 TIMs: the CHD reinsertion
//         benchmark)
//   vexlo_bench_input tree COUNT DIR
//       COUNT files of random bytes under DIR, 100 to a folder (d000/f00000
//       ...), their sizes spread evenly on a log scale from 4 KiB to 2 MiB
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

void put16(std::vector<uint8_t>& v, std::size_t at, uint32_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void put32(std::vector<uint8_t>& v, std::size_t at, uint32_t x) {
  put16(v, at, x & 0xFFFF);
  put16(v, at + 2, x >> 16);
}

// One TIM of `flags` at `at` with `w` x `h` in 16-bit units and rows; returns
// its size. The caller leaves room for it.
std::size_t put_tim(std::vector<uint8_t>& v, std::size_t at, uint32_t flags,
                    uint32_t w, uint32_t h, std::mt19937_64& rng) {
  put32(v, at, 0x10);
  put32(v, at + 4, flags);
  std::size_t pos = at + 8;
  if (flags & 8) {
    const uint32_t entries = (flags & 7) == 0 ? 16 : 256;
    const uint32_t len = 12 + entries * 2;
    put32(v, pos, len);
    put16(v, pos + 4, 0);
    put16(v, pos + 6, 0);
    put16(v, pos + 8, entries);
    put16(v, pos + 10, 1);
    for (uint32_t i = 0; i < entries * 2; ++i)
      v[pos + 12 + i] = static_cast<uint8_t>(rng());
    pos += len;
  }
  const uint32_t len = 12 + w * h * 2;
  put32(v, pos, len);
  put16(v, pos + 4, 0);
  put16(v, pos + 6, 0);
  put16(v, pos + 8, w);
  put16(v, pos + 10, h);
  for (uint32_t i = 0; i < w * h * 2; ++i)
    v[pos + 12 + i] = static_cast<uint8_t>(rng());
  return pos + len - at;
}

}  // namespace

// The many-file tree: what an extracted game folder looks like to a tree
// search.
int make_tree(std::size_t count, const std::string& dir) {
  std::mt19937_64 rng(54321);
  std::vector<uint8_t> v(std::size_t{2} << 20);
  for (std::size_t i = 0; i + 8 <= v.size(); i += 8) {
    const uint64_t x = rng();
    std::memcpy(&v[i], &x, 8);
  }
  std::uniform_real_distribution<double> scale(12.0, 21.0);  // 2^12..2^21
  for (std::size_t k = 0; k < count; ++k) {
    char folder[32], name[32];
    std::snprintf(folder, sizeof folder, "/d%03zu", k / 100);
    std::snprintf(name, sizeof name, "/f%05zu", k);
    std::filesystem::create_directories(dir + folder);
    const std::string path = dir + folder + name;
    const auto size = static_cast<std::size_t>(std::exp2(scale(rng)));
    // Each file its own bytes: a rotation of the random block.
    const std::size_t from = static_cast<std::size_t>(rng() % v.size());
    FILE* out = std::fopen(path.c_str(), "wb");
    bool ok = out != nullptr;
    for (std::size_t done = 0; ok && done < size;) {
      const std::size_t at = (from + done) % v.size();
      const std::size_t n = std::min(size - done, v.size() - at);
      ok = std::fwrite(v.data() + at, 1, n, out) == n;
      done += n;
    }
    if (out == nullptr || !ok || std::fclose(out) != 0) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s KIND BYTES FILE\n", argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  if (kind == "tree")
    return make_tree(std::strtoull(argv[2], nullptr, 10), argv[3]);
  const std::size_t size = std::strtoull(argv[2], nullptr, 10);
  std::vector<uint8_t> v(size);
  std::mt19937_64 rng(12345);
  auto fill_random = [&] {
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      const uint64_t x = rng();
      std::memcpy(&v[i], &x, 8);
    }
  };
  if (kind == "random") {
    fill_random();
  } else if (kind == "ten_word") {
    for (std::size_t i = 0; i < size; i += 4) v[i] = 0x10;
  } else if (kind == "all_ten") {
    std::memset(v.data(), 0x10, size);
  } else if (kind == "zero") {
  } else if (kind == "near_miss") {
    // 10 00 00 00 08 00 00 00 and a CLUT length of 45: passes the header
    // test and fails on the CLUT length (the next record gives h = 0).
    static const uint8_t rec[12] = {0x10, 0, 0, 0, 8, 0, 0, 0, 45, 0, 0, 0};
    for (std::size_t i = 0; i < size; ++i) v[i] = rec[i % sizeof rec];
  } else if (kind == "dense") {
    fill_random();
    const std::size_t count = 20000;
    const std::size_t slot = size / count;
    static const uint32_t flags[] = {0x08, 0x09, 0x02, 0x03};
    for (std::size_t k = 0; k < count; ++k) {
      const uint32_t f = flags[k % 4];
      // Small pictures, each at least 64 bytes so that the default size
      // window reports all of them: 4..11 units by 6..13 rows.
      const uint32_t w = 4 + static_cast<uint32_t>(rng() % 8);
      const uint32_t h = 6 + static_cast<uint32_t>(rng() % 8);
      if (slot < 600 + w * h * 2) return 1;
      put_tim(v, k * slot, f, w, h, rng);
    }
  } else if (kind == "disc" || kind == "disc100" || kind == "cd_mix" ||
             kind == "cd_mix100") {
    // The data stream first, then wrapped into sectors in place of `v`.
    const std::size_t sectors = size / 2352;
    const std::size_t form2 = sectors / 10;  // n % 10 == 9
    std::vector<uint8_t> stream((sectors - form2) * 2048);
    const uint64_t mask =
        kind.starts_with("cd_mix") ? 0x0F0F0F0F0F0F0F0Full : ~uint64_t{0};
    for (std::size_t i = 0; i + 8 <= stream.size(); i += 8) {
      const uint64_t x = rng() & mask;
      std::memcpy(&stream[i], &x, 8);
    }
    static const uint32_t flags[] = {0x08, 0x09, 0x02, 0x03};
    const std::size_t tims = kind.ends_with("100") ? 100 : 20;
    const std::size_t slot = stream.size() / tims;
    for (std::size_t k = 0; k < tims; ++k)
      put_tim(stream, k * slot + 2000, flags[k % 4], 64, 64, rng);
    std::size_t taken = 0;
    for (std::size_t n = 0; n < sectors; ++n) {
      uint8_t* s = &v[n * 2352];
      std::memset(s + 1, 0xFF, 10);
      s[15] = 2;
      const bool video = n % 10 == 9;
      s[18] = s[22] = video ? 0x20 : 0x08;
      if (video) {
        for (std::size_t i = 24; i + 8 <= 2348; i += 8) {
          const uint64_t x = rng();
          std::memcpy(s + i, &x, 8);
        }
      } else {
        std::memcpy(s + 24, &stream[taken], 2048);
        taken += 2048;
      }
    }
  } else {
    std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
    return 2;
  }
  FILE* out = std::fopen(argv[3], "wb");
  if (out == nullptr || std::fwrite(v.data(), 1, size, out) != size ||
      std::fclose(out) != 0) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
