// The ISO 9660 reader over small hand-made file systems, sound and hostile.
#include "disc/iso9660.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "tests/tim_builder.h"

namespace vexlo::test {
namespace {

// 2048-byte sectors: the volume descriptor at 16, the root directory at 18,
// directories written record by record.
struct Iso {
  std::map<uint32_t, Bytes> sectors;
  std::map<uint32_t, std::size_t> fill;

  Iso() {
    Bytes& s = sectors[16];
    s.assign(2048, 0);
    s[0] = 1;  // the primary volume descriptor, of 2048-byte blocks
    std::copy_n("CD001", 5, s.begin() + 1);
    s[129] = 0x08;
    add_at(s, 156, 18, 2048, true, std::string(1, '\0'));
  }
  static std::size_t add_at(Bytes& s, std::size_t at, uint32_t extent,
                            uint32_t size, bool dir, const std::string& name) {
    const std::size_t len = 33 + name.size() + (name.size() % 2 == 0);
    s[at] = static_cast<uint8_t>(len);
    for (int i = 0; i < 4; ++i) {
      s[at + 2 + i] = static_cast<uint8_t>(extent >> 8 * i);
      s[at + 10 + i] = static_cast<uint8_t>(size >> 8 * i);
    }
    s[at + 25] = dir ? 2 : 0;
    s[at + 32] = static_cast<uint8_t>(name.size());
    std::copy(name.begin(), name.end(), s.begin() + at + 33);
    return len;
  }
  void add(uint32_t dir, const std::string& name, uint32_t extent,
           uint32_t size, bool is_dir = false) {
    Bytes& s = sectors[dir];
    s.resize(2048);
    fill[dir] += add_at(s, fill[dir], extent, size, is_dir, name);
  }
  DiscFiles read() const {
    return read_iso9660([this](uint32_t n) -> std::span<const uint8_t> {
      const auto it = sectors.find(n);
      return it == sectors.end() ? std::span<const uint8_t>() : it->second;
    });
  }
};

std::vector<std::string> paths(const DiscFiles& files) {
  std::vector<std::string> p;
  for (const DiscFile& f : files.files()) p.push_back(f.path);
  return p;
}

TEST(Iso9660, ReadsTheTreeAndPlacesBytesInFiles) {
  Iso iso;
  iso.add(18, std::string(1, '\0'), 18, 2048, true);  // itself and parent
  iso.add(18, std::string(1, '\1'), 18, 2048, true);
  iso.add(18, "DATA", 19, 2048, true);
  iso.add(18, "README.;1", 30, 10);
  iso.add(19, "TITLE.TIM;1", 20, 5000);
  iso.add(19, "SUB", 25, 2048, true);
  iso.add(25, "PACK.BIN;1", 23, 4096);  // inside TITLE.TIM's last sector
  const DiscFiles files = iso.read();
  EXPECT_EQ(paths(files),
            (std::vector<std::string>{"DATA/TITLE.TIM", "DATA/SUB/PACK.BIN",
                                      "README"}));
  struct Case {
    uint32_t sector, offset;
    const char* file;  // null: none
    uint32_t in_file;
  } cases[] = {
      {20, 0, "DATA/TITLE.TIM", 0},          {22, 904, nullptr, 0},
      {22, 903, "DATA/TITLE.TIM", 4999},     {23, 0, "DATA/SUB/PACK.BIN", 0},
      {24, 2047, "DATA/SUB/PACK.BIN", 4095}, {19, 40, nullptr, 0},
  };
  for (const Case& c : cases) {
    const auto hit = files.find(c.sector, c.offset);
    ASSERT_EQ(hit.has_value(), c.file != nullptr) << c.sector;
    if (hit) {
      EXPECT_EQ(hit->file->path, c.file);
      EXPECT_EQ(hit->offset, c.in_file) << c.file;
    }
  }
}

TEST(Iso9660, HostileFileSystemsStayBounded) {
  struct Case {
    const char* what;
    std::function<void(Iso&)> make;
    std::vector<std::string> want;
  } cases[] = {
      {"no descriptor", [](Iso& i) { i.sectors.clear(); }, {}},
      {"loops",
       [](Iso& i) {
         i.add(18, "A", 18, 2048, true);
         i.add(18, "B", 19, 2048, true);
         i.add(19, "C", 19, 2048, true);
         i.add(19, "F;1", 20, 1);
       },
       {"B/F"}},
      {"names and extents past the end",
       [](Iso& i) {
         i.add(18, "a/b\\c;1", 20, 1);
         i.add(18, "\x01\xff\x7f;1", 21, 1);
         i.add(18, "..", 22, 1);
         i.add(18, "GONE", 1000000, 2048, true);
         i.add(18, "BIG;1", 0xFFFFFFFF, 0xFFFFFFFF);
       },
       {"a_b_c", "___", "_", "BIG"}},
      {"bad records",
       [](Iso& i) {
         i.add(18, "F;1", 20, 1);
         i.add(18, "G;1", 21, 1);
         i.sectors[18][36 + 32] = 200;  // G's name runs past its record
         i.add(18, "H;1", 22, 1);
         i.sectors[18][72] = 20;  // shorter than any record: the sector ends
       },
       {"F"}},
  };
  for (Case& c : cases) {
    Iso iso;
    c.make(iso);
    EXPECT_EQ(paths(iso.read()), c.want) << c.what;
  }
  // Directories of gigabytes on a disc of endless empty sectors; a chain of
  // folders deeper than any disc.
  std::size_t reads = 0;
  Iso huge;
  huge.sectors[16][166 + 3] = 0xFF;
  const Bytes zeros(2048, 0);
  read_iso9660([&](uint32_t n) -> std::span<const uint8_t> {
    ++reads;
    return n == 16 ? std::span<const uint8_t>(huge.sectors[16]) : zeros;
  });
  EXPECT_EQ(reads, 1 + kIsoMaxDirectorySectors);
  Iso deep;
  for (uint32_t d = 0; d < 40; ++d) {
    deep.add(18 + d, "F;1", 100, 1);
    deep.add(18 + d, "D", 19 + d, 2048, true);
  }
  EXPECT_EQ(deep.read().files().size(), kIsoMaxDepth + 1u);
}

}  // namespace
}  // namespace vexlo::test
