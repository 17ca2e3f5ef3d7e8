// POSIX only: the files are made and cut short with POSIX calls.
#if !defined(_WIN32)
#include "platform/input_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vexlo {
namespace {

class InputFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/vexlo_input_XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path_ = name;
  }
  void TearDown() override { ::unlink(path_.c_str()); }

  void write(const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
      ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
  }

  static std::vector<uint8_t> pattern(std::size_t n) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
  }

  void load(InputData& data) {
    InputFile f = open_input(path_);
    ASSERT_EQ(f.status, LoadStatus::kLoaded);
    ASSERT_EQ(read_input(f, data), LoadStatus::kLoaded);
    EXPECT_EQ(f.handle, -1) << "the file is closed after the read";
  }

  std::string path_;
};

TEST_F(InputFileTest, LoadsExactBytesOfEveryKindOfLength) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{4095},
                        std::size_t{4097}, std::size_t{3} << 20}) {
    const auto bytes = pattern(n);
    write(bytes);
    InputData data;
    load(data);
    const auto got = data.bytes();
    ASSERT_EQ(got.size(), n);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin())) << n;
  }
}

TEST_F(InputFileTest, TwoLoadsAtOnceBothHoldTheirBytes) {
  const auto first = pattern(10000);
  write(first);
  InputData a;
  load(a);
  auto second = pattern(5000);
  second[0] = 0xEE;
  write(second);  // rewrites the file `a` was loaded from
  InputData b;
  load(b);
  ASSERT_EQ(b.bytes().size(), 5000u);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), b.bytes().begin()));
  ASSERT_EQ(a.bytes().size(), 10000u);
  // `a` is still readable from end to end (past 5000 it reads as zeros).
  unsigned sum = 0;
  for (uint8_t x : a.bytes()) sum += x;
  EXPECT_GT(sum, 0u);
  InputData moved = std::move(a);
  EXPECT_EQ(moved.bytes().size(), 10000u);
}

// Another program may cut the file short while it is being scanned: reading
// the loaded data must never crash, and what is gone reads as zeros.
TEST_F(InputFileTest, FileTruncatedAfterLoadStaysReadable) {
  const std::size_t n = (std::size_t{1} << 20) + 123;
  write(pattern(n));
  InputData data;
  load(data);
  ASSERT_EQ(::truncate(path_.c_str(), 4096 + 10), 0);
  const auto got = data.bytes();
  ASSERT_EQ(got.size(), n);
  const auto want = pattern(n);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 4096, want.begin()));
  uint64_t past = 0;
  for (std::size_t i = 8192; i < n; ++i) past += got[i];
  EXPECT_EQ(past, 0u);
  // A second load after the first is released is guarded again.
  data = InputData();
  load(data);
  EXPECT_EQ(data.bytes().size(), 4096u + 10);
}

TEST_F(InputFileTest, FileShorterThanItsOpenLengthKeepsWhatIsThere) {
  write(pattern(50000));
  InputFile f = open_input(path_);
  ASSERT_EQ(f.length, 50000);
  ASSERT_EQ(::truncate(path_.c_str(), 20000), 0);
  InputData data;
  ASSERT_EQ(read_input(f, data), LoadStatus::kLoaded);
  ASSERT_EQ(data.bytes().size(), 20000u);
  const auto want = pattern(20000);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), data.bytes().begin()));
}

// Small files are read, not mapped, into 64-byte aligned memory that the
// next small file reuses once the last is let go; larger ones are mapped.
TEST_F(InputFileTest, SmallFilesAreReadIntoOneReusedAlignedBuffer) {
  struct Case {
    std::size_t size;
    bool mapped;
  };
  const Case cases[] = {
      {kSmallInput + 1, true}, {kSmallInput, false}, {4097, false}, {1, false}};
  const uint8_t* first_small = nullptr;
  for (const Case& c : cases) {
    const auto bytes = pattern(c.size);
    write(bytes);
    InputData data;
    load(data);
    EXPECT_EQ(data.mapped(), c.mapped) << c.size;
    ASSERT_EQ(data.bytes().size(), c.size);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data.bytes().begin()));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data.bytes().data()) % 64, 0u);
    if (c.mapped) continue;
    if (first_small == nullptr) first_small = data.bytes().data();
    EXPECT_EQ(data.bytes().data(), first_small) << "reused at " << c.size;
  }
  // Two small files held at once each keep their own bytes.
  write(pattern(300));
  InputData a, b;
  load(a);
  auto other = pattern(200);
  other[0] = 0xEE;
  write(other);
  load(b);
  EXPECT_NE(a.bytes().data(), b.bytes().data());
  EXPECT_EQ(a.bytes()[0], pattern(1)[0]);
  EXPECT_EQ(b.bytes()[0], 0xEE);
}

TEST_F(InputFileTest, DirectoriesAndFifosAreRefused) {
  EXPECT_EQ(open_input("/tmp").status, LoadStatus::kOpenFailed);
  const std::string fifo = path_ + ".fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(open_input(fifo).status, LoadStatus::kOpenFailed);
  ::unlink(fifo.c_str());
  EXPECT_EQ(open_input(path_ + ".missing").status, LoadStatus::kOpenFailed);
}

}  // namespace
}  // namespace vexlo
#endif  // !_WIN32
