// The ISO 9660 reader over small hand-made file systems, sound and hostile.
#include "disc/iso9660.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "tests/tim_builder.h"

namespace vexlo::test {
namespace {

// A disc of 2048-byte sectors, with the volume descriptor at 16 and the
// root directory at 18, written record by record.
struct Iso {
  std::map<uint32_t, Bytes> sectors;
  std::map<uint32_t, std::size_t> fill;

  Iso() { descriptor(16, 1, 18, 2048); }
  void descriptor(uint32_t n, uint8_t type, uint32_t root, uint32_t size) {
    Bytes& s = sector(n);
    s[0] = type;
    std::copy_n("CD001\x01", 6, s.begin() + 1);
    s[128] = 0x00, s[129] = 0x08;  // 2048-byte blocks
    s[156] = 34;
    put(s, 158, root);
    put(s, 166, size);
  }
  Bytes& sector(uint32_t n) {
    Bytes& s = sectors[n];
    s.resize(2048);
    return s;
  }
  static void put(Bytes& s, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<uint8_t>(v >> 8 * i);
  }
  void add(uint32_t dir, const std::string& name, uint32_t extent,
           uint32_t size, bool is_dir = false) {
    Bytes& s = sector(dir);
    std::size_t& at = fill[dir];
    const std::size_t len = 33 + name.size() + (name.size() % 2 == 0);
    s[at] = static_cast<uint8_t>(len);
    put(s, at + 2, extent);
    put(s, at + 10, size);
    s[at + 25] = is_dir ? 2 : 0;
    s[at + 32] = static_cast<uint8_t>(name.size());
    std::copy(name.begin(), name.end(), s.begin() + at + 33);
    at += len;
  }
  void dir(uint32_t n, uint32_t parent) {
    add(n, std::string(1, '\0'), n, 2048, true);
    add(n, std::string(1, '\1'), parent, 2048, true);
  }
  ReadSector reader() const {
    return [this](uint32_t n) -> std::span<const uint8_t> {
      const auto it = sectors.find(n);
      if (it == sectors.end()) return {};
      return it->second;
    };
  }
};

std::vector<std::string> paths(const DiscFiles& files) {
  std::vector<std::string> p;
  for (const DiscFile& f : files.files()) p.push_back(f.path);
  return p;
}

TEST(Iso9660, ReadsTheTreeAndPlacesBytesInFiles) {
  Iso iso;
  iso.dir(18, 18);
  iso.add(18, "DATA", 19, 2048, true);
  iso.add(18, "README.;1", 30, 10);
  iso.add(18, "SYSTEM.CNF;1", 31, 64);
  iso.dir(19, 18);
  iso.add(19, "TITLE.TIM;1", 20, 5000);
  iso.add(19, "PACK.BIN;1", 23, 4096);
  iso.add(19, "SUB", 25, 2048, true);
  iso.dir(25, 19);
  iso.add(25, "X.TIM;1", 26, 100);
  const DiscFiles files = read_iso9660(iso.reader());
  EXPECT_EQ(paths(files), (std::vector<std::string>{
                              "DATA/TITLE.TIM", "DATA/PACK.BIN",
                              "DATA/SUB/X.TIM", "README", "SYSTEM.CNF"}));
  struct Case {
    uint32_t sector, offset;
    const char* file;  // null: none
    uint32_t in_file;
  } cases[] = {
      {20, 0, "DATA/TITLE.TIM", 0},
      {22, 903, "DATA/TITLE.TIM", 4999},
      {22, 904, nullptr, 0},
      {24, 10, "DATA/PACK.BIN", 2058},
      {16, 0, nullptr, 0},
      {19, 40, nullptr, 0},
      {26, 99, "DATA/SUB/X.TIM", 99},
      {26, 100, nullptr, 0},
      {31, 63, "SYSTEM.CNF", 63},
      {0xFFFFFFFF, 2047, nullptr, 0},
  };
  for (const Case& c : cases) {
    const auto hit = files.find(c.sector, c.offset);
    ASSERT_EQ(hit.has_value(), c.file != nullptr)
        << c.sector << ":" << c.offset;
    if (hit) {
      EXPECT_EQ(hit->file->path, c.file);
      EXPECT_EQ(hit->offset, c.in_file);
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
      {"512-byte blocks",
       [](Iso& i) {
         i.dir(18, 18);
         i.add(18, "F;1", 20, 1);
         i.sectors[16][129] = 2;
       },
       {}},
      {"a boot record first",
       [](Iso& i) {
         i.descriptor(16, 0, 0, 0);
         i.descriptor(17, 1, 18, 2048);
         i.add(18, "F;1", 20, 1);
       },
       {"F"}},
      {"loops",
       [](Iso& i) {
         i.add(18, "A", 18, 2048, true);
         i.add(18, "B", 19, 2048, true);
         i.add(19, "C", 19, 2048, true);
         i.add(19, "D", 18, 2048, true);
         i.add(19, "F;1", 20, 1);
       },
       {"B/F"}},
      {"names",
       [](Iso& i) {
         i.add(18, "a/b\\c;1", 20, 1);
         i.add(18, "\x01\xff\x7f;1", 21, 1);
         i.add(18, ".;1", 22, 1);
         i.add(18, "..", 23, 1);
         i.add(18, ";", 24, 1);
       },
       {"a_b_c", "___", "_", "_", "_"}},
      {"extents past the end",
       [](Iso& i) {
         i.add(18, "GONE", 1000000, 2048, true);
         i.add(18, "BIG;1", 0xFFFFFFFF, 0xFFFFFFFF);
       },
       {"BIG"}},
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
    EXPECT_EQ(paths(read_iso9660(iso.reader())), c.want) << c.what;
  }

  // Directories of gigabytes on a disc of endless empty sectors, and a
  // chain of folders deeper than any disc.
  std::size_t reads = 0;
  Iso huge;
  huge.descriptor(16, 1, 18, 0xFFFFFFFF);
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
  EXPECT_EQ(read_iso9660(deep.reader()).files().size(), kIsoMaxDepth + 1u);
}

TEST(Iso9660, OverlappingFilesGoToTheLatestStart) {
  const DiscFiles files(
      {{"A", 10, 10 * 2048}, {"C", 12, 100}, {"B", 12, 100}, {"EMPTY", 11, 0}});
  struct Case {
    uint32_t sector, offset;
    const char* file;
    uint32_t in_file;
  } cases[] = {
      {10, 0, "A", 0},        {11, 0, "A", 2048},
      {12, 50, "C", 50},      {12, 100, "A", 2 * 2048 + 100},
      {19, 2047, "A", 20479}, {20, 0, nullptr, 0},
      {9, 2047, nullptr, 0},
  };
  for (const Case& c : cases) {
    const auto hit = files.find(c.sector, c.offset);
    ASSERT_EQ(hit.has_value(), c.file != nullptr)
        << c.sector << ":" << c.offset;
    if (hit) {
      EXPECT_EQ(hit->file->path, c.file);
      EXPECT_EQ(hit->offset, c.in_file);
    }
  }
}

TEST(Iso9660, PlainImageProbe) {
  Bytes iso(17 * 2048, 0);
  std::copy_n(
      "\x01"
      "CD001",
      6, iso.begin() + 16 * 2048);
  EXPECT_TRUE(is_iso_image(iso));
  iso.push_back(0);
  EXPECT_FALSE(is_iso_image(iso));
  iso.resize(16 * 2048 + 6);
  EXPECT_FALSE(is_iso_image(iso));
  iso.assign(17 * 2048, 0);
  EXPECT_FALSE(is_iso_image(iso));
}

}  // namespace
}  // namespace vexlo::test
