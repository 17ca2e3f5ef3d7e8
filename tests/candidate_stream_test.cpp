#include "scan/candidate_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "extract/run.h"
#include "platform/input_file.h"
#include "scan/stream_scan.h"
#include "tim_builder.h"

namespace vexlo {
namespace {

using Offsets = std::vector<std::size_t>;

Offsets cursor_all(std::span<const uint8_t> d, std::size_t end,
                   CandidateFilter f) {
  Offsets out;
  CandidateCursor c(d, 0, end, best_candidate_kernel(), f);
  for (std::size_t off = c.next(); off < end; off = c.next())
    out.push_back(off);
  return out;
}

Offsets stream_all(std::span<const uint8_t> d, std::size_t end,
                   CandidateFilter f, CandidateSplit split,
                   const InputData* source = nullptr) {
  Offsets out;
  CandidateStream s(d, end, best_candidate_kernel(), f, split, source);
  for (std::size_t off = s.next(); off < end; off = s.next())
    out.push_back(off);
  EXPECT_EQ(s.next(), end) << "a finished stream stays finished";
  return out;
}

void put_header(std::vector<uint8_t>& v, std::size_t at, uint8_t flags) {
  const uint8_t h[12] = {0x10, 0, 0, 0, flags, 0, 0, 0, 44, 0, 0, 0};
  std::memcpy(v.data() + at, h, std::min<std::size_t>(12, v.size() - at));
}

// Random bytes with candidates of both filters just before, on and after
// every multiple of `border`, and where a piece's header runs into the next.
std::vector<uint8_t> bordered(std::size_t n, std::size_t border,
                              std::mt19937& rng) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  for (std::size_t at = border; at < n; at += border)
    for (std::size_t d : {0, 1, 3, 8, 12, 19, 20})
      if (at >= d) put_header(v, at - d, d % 2 ? 0x08 : 0x00);
  put_header(v, n - 20, 0x02);  // the last offset with enough bytes
  return v;
}

// One candidate every 12 bytes: a piece holds more than its list takes.
std::vector<uint8_t> dense(std::size_t n) {
  std::vector<uint8_t> v(n);
  for (std::size_t at = 0; at + 12 <= n; at += 12) put_header(v, at, 0x08);
  return v;
}

TEST(CandidateStream, SameOffsetsForEverySplit) {
  std::mt19937 rng(15);
  const std::vector<uint8_t> inputs[] = {
      bordered(150000, 1000, rng), bordered(150000, 4096, rng), dense(200000)};
  for (const auto& v : inputs) {
    for (CandidateFilter f : {CandidateFilter{}, CandidateFilter{true}}) {
      for (std::size_t end : {v.size(), v.size() - 25, v.size() + 9}) {
        const Offsets want = cursor_all(v, end, f);
        for (unsigned threads : {1u, 2u, 7u})
          for (std::size_t piece : {1000u, 4096u, 65536u})
            ASSERT_EQ(stream_all(v, end, f, {threads, piece}), want)
                << threads << " threads, pieces of " << piece << ", loose "
                << f.looseflags << ", end " << end;
      }
    }
  }
}

// Read back from the file in copies: offsets on the copies' borders too.
TEST(CandidateStream, SameOffsetsReadFromTheFile) {
  std::mt19937 rng(16);
  const std::vector<uint8_t> v = bordered(700000, 128 << 10, rng);
  const std::string path = testing::TempDir() + "vexlo_stream_test.bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(v.data(), 1, v.size(), f), v.size());
  std::fclose(f);
  InputFile file = open_input(path);
  InputData data;
  ASSERT_EQ(read_input(file, data), LoadStatus::kLoaded);
  ASSERT_EQ(data.bytes().size(), v.size());
  using Read = CandidateSplit::Read;
  for (CandidateFilter filter : {CandidateFilter{}, CandidateFilter{true}}) {
    const Offsets want = cursor_all(v, v.size(), filter);
    for (Read read : {Read::kByPages, Read::kCopy, Read::kMapped})
      for (unsigned threads : {1u, 2u, 7u})
        ASSERT_EQ(stream_all(data.bytes(), v.size(), filter,
                             {threads, 300000, read}, &data),
                  want)
            << threads << " threads, loose " << filter.looseflags << ", read "
            << static_cast<int>(read);
  }
  std::remove(path.c_str());
}

// Left early, as when the limit is hit: the threads stop and are joined.
TEST(CandidateStream, LeftEarlyStopsItsThreads) {
  const std::vector<uint8_t> v = dense(1 << 20);
  for (unsigned threads : {2u, 7u}) {
    CandidateStream s(v, v.size(), best_candidate_kernel(), {},
                      {threads, 4096});
    EXPECT_EQ(s.next(), 0u);
    EXPECT_EQ(s.next(), 12u);
  }
}

// The whole scan with the limit reached part-way: the same TIMs counted and
// the same last one, however the search is split.
TEST(CandidateStream, ScanStopsAtTheSameTimForEverySplit) {
  const test::Bytes tim = test::tim_4bit_32x16();
  std::vector<uint8_t> v(40000, 0xAA);
  const std::size_t at[] = {999, 2000, 4095, 8191, 12288, 20000, 30000};
  for (std::size_t a : at) std::memcpy(v.data() + a, tim.data(), tim.size());
  for (unsigned threads : {1u, 2u, 7u}) {
    vexlo::Run run;
    run.settings.maxtims = 4;
    run.settings.writebmp = false;
    testing::internal::CaptureStdout();
    scan_buffer(run, v, CandidateSplit{threads, 1000});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(run.tim_counter, 5) << threads;
    // The last TIM reported is the one at 8191.
    EXPECT_NE(out.rfind("TIM at byte 8191,"), std::string::npos) << threads;
    EXPECT_EQ(out.find("TIM at byte 12288,"), std::string::npos) << threads;
  }
}

}  // namespace
}  // namespace vexlo
