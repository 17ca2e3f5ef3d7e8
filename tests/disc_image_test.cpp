// Raw disc images: the probe, the data stream's mapping and the scan.
#include "disc/disc_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "disc/stream.h"
#include "extract/run.h"
#include "scan/disc_scan.h"
#include "tests/disc_builder.h"

namespace vexlo::test {
namespace {

Disc sectors(std::initializer_list<Sector> kinds) {
  Disc d;
  const Bytes payload(2048, 0x10);
  for (Sector k : kinds) {
    std::size_t at = 0;
    d.add(k, payload, &at);
  }
  return d;
}

TEST(DiscImage, Probe) {
  using S = Sector;
  const Bytes four =
      sectors({S::kForm1, S::kMode1, S::kForm2, S::kMode0}).image;
  struct Case {
    const char* name;
    Bytes file;
    bool image;
  } cases[] = {
      {"empty", {}, false},
      {"a part sector", Bytes(four.begin(), four.begin() + 2351), false},
      {"one sector", Bytes(four.begin(), four.begin() + 2352), true},
      {"one sector and a part", Bytes(four.begin(), four.begin() + 3000), true},
      {"four sectors of any mode", four, true},
      {"audio second", sectors({S::kForm1, S::kAudio}).image, false},
      {"audio fourth",
       sectors({S::kForm1, S::kForm1, S::kForm1, S::kAudio}).image, false},
      {"audio fifth is not looked at",
       sectors({S::kMode1, S::kMode1, S::kMode1, S::kMode1, S::kAudio}).image,
       true},
      {"audio first", sectors({S::kAudio, S::kForm1}).image, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_disc_image(c.file), c.image) << c.name;
}

TEST(DiscImage, StreamMapping) {
  Bytes stream(40 * 2048);
  for (std::size_t i = 0; i < stream.size(); ++i)
    stream[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const Disc d = wrap_stream(stream, 2000);
  ASSERT_TRUE(is_disc_image(d.image));
  const DiscMap map = map_disc_image(d.image);
  EXPECT_EQ(map.whole_sectors, d.image.size() / 2352);
  ASSERT_EQ(map.stream_size(), stream.size());
  for (std::size_t i = 0; i < stream.size(); ++i) {
    ASSERT_EQ(raw_offset(map, i), d.raw[i]) << i;
    const SectorPosition p = sector_position(map, i);
    ASSERT_EQ(p.sector, d.raw[i] / 2352) << i;
    ASSERT_EQ(p.offset, i % 2048) << i;
  }
  Bytes copy(stream.size() - 3000);
  copy_stream(d.image, map, 3000, copy);
  EXPECT_TRUE(std::equal(copy.begin(), copy.end(), stream.begin() + 3000));
}

// A raw image's data stream read in place and the same stream decoded into
// memory: the same bytes, and every byte maps back to the same place.
TEST(DataStream, InPlaceAndDecodedAgree) {
  Bytes stream(6 * 2048);
  for (std::size_t i = 0; i < stream.size(); ++i)
    stream[i] = static_cast<uint8_t>(i * 13 + i / 97);
  const Disc d = wrap_stream(stream, 100);
  const DiscMap map = map_disc_image(d.image);
  const DataStream in_place = DataStream::in_image(d.image, map);
  const DataStream decoded = DataStream::decoded(stream, map);
  ASSERT_EQ(in_place.size(), stream.size());
  // Ranges inside a sector, across one sector end, and across several.
  const std::pair<std::size_t, std::size_t> ranges[] = {
      {0, 16}, {2040, 16}, {2047, 1}, {100, 5000}, {6 * 2048 - 12, 12}};
  for (const auto& [pos, n] : ranges) {
    Bytes scratch(n), copied(n);
    const uint8_t* p = in_place.read(pos, n, scratch.data());
    EXPECT_TRUE(std::equal(p, p + n, stream.begin() + pos)) << pos;
    in_place.copy(pos, copied);
    EXPECT_TRUE(std::equal(copied.begin(), copied.end(), stream.begin() + pos))
        << pos;
    const StreamPlace a = in_place.place(pos), b = decoded.place(pos);
    EXPECT_EQ(a.offset, d.raw[pos]) << pos;
    EXPECT_EQ(a.offset, b.offset) << pos;
    EXPECT_EQ(a.sector, b.sector) << pos;
    EXPECT_EQ(a.sector_offset, pos % 2048) << pos;
    // Each piece lies together in the image.
    std::size_t seen = 0;
    in_place.pieces(pos, n, [&](uint64_t at, std::size_t from, std::size_t k) {
      EXPECT_EQ(from, pos + seen);
      EXPECT_EQ(at + k - 1, d.raw[from + k - 1]) << pos;
      seen += k;
    });
    EXPECT_EQ(seen, n);
  }
  EXPECT_FALSE(DataStream::plain(stream).place(5000).sector);
  EXPECT_EQ(DataStream::plain(stream).place(5000).offset, 5000u);
}

// The first pass over the sectors split over threads: TIMs across sector
// ends and across the parts' borders are reported as by one thread.
TEST(DiscImage, SameReportsForEveryNumberOfThreads) {
  const Bytes tim = tim_4bit_32x16();
  Bytes stream(60 * 2048, 0xAA);
  // One whose header runs across every sector end, one inside each sector.
  for (std::size_t at = 2048 - 10; at + tim.size() <= stream.size();
       at += 2048) {
    std::memcpy(stream.data() + at, tim.data(), tim.size());
    std::memcpy(stream.data() + at + 1000, tim.data(), tim.size());
  }
  const Disc d = wrap_stream(stream, 700);
  auto scan = [&](unsigned threads) {
    vexlo::Run run;
    run.settings.writebmp = false;
    InputScan input{.run = run, .path = {}, .disc = {}};
    testing::internal::CaptureStdout();
    scan_disc_image(input, d.image, threads);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout() + "\ncounted " +
           std::to_string(run.tim_counter);
  };
  const std::string one = scan(1);
  ASSERT_NE(one.find("TIM at byte"), std::string::npos);
  for (unsigned threads : {2u, 3u, 7u, 200u})
    EXPECT_EQ(scan(threads), one) << threads << " threads";
}

// 2448- and 2336-byte sectors: the probe after the 2352 one, and the same
// data stream as the 2352 image they are made from.
TEST(DiscImage, SectorSizes) {
  using S = Sector;
  using F = SectorFormat;
  Disc d;
  Bytes stream(30 * 2048);
  for (std::size_t i = 0; i < stream.size(); ++i)
    stream[i] = static_cast<uint8_t>(i * 13 + i / 509);
  for (std::size_t at = 0, n = 0; at < stream.size(); ++n)
    d.add(n % 4 == 3 ? S::kForm2 : S::kForm1, stream, &at);
  set_form1_edc(d.image);
  const Bytes b2448 = resize_sectors(d.image, 2448, 0xFF);
  const Bytes b2336 = resize_sectors(d.image, 2336);
  Bytes bad_edc = b2336, copies_differ = b2336, random(2336 * 20);
  for (std::size_t at = 0; at < bad_edc.size(); at += 2336) bad_edc[at + 100]++;
  copies_differ[15 * 2336 + 6] ^= 1;
  for (std::size_t i = 0; i < random.size(); ++i)
    random[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  struct Case {
    const char* name;
    Bytes file;
    bool image;
    F format;
  } cases[] = {
      {"2352", d.image, true, F::k2352},
      {"2448", b2448, true, F::k2448},
      {"2448 without its fourth sync",
       [&] {
         Bytes f = b2448;
         f[3 * 2448 + 5] = 0;
         return f;
       }(),
       false, F::k2352},
      {"2336", b2336, true, F::k2336},
      {"2336, one sector", Bytes(b2336.begin(), b2336.begin() + 2336), true,
       F::k2336},
      {"2336 without a valid EDC", bad_edc, false, F::k2352},
      {"2336 with a 16th subheader unlike its copy", copies_differ, false,
       F::k2352},
      {"random bytes, 20 sectors of 2336", random, false, F::k2352},
      // An ISO image's system area is 16 zero-filled sectors.
      {"zeros, 20 sectors of 2336", Bytes(2336 * 20), false, F::k2352},
  };
  // ... but a 2336 image whose own system area is zeros is still one.
  Bytes late(2336 * 16);
  late.insert(late.end(), b2336.begin(), b2336.end());
  F late_format = F::k2352;
  EXPECT_TRUE(probe_disc_image(late, &late_format));
  EXPECT_EQ(late_format, F::k2336);
  for (const Case& c : cases) {
    F format = F::k2352;
    EXPECT_EQ(probe_disc_image(c.file, &format), c.image) << c.name;
    if (!c.image) continue;
    EXPECT_EQ(format, c.format) << c.name;
    const DiscMap map = map_disc_image(c.file, format);
    const std::size_t n = c.file.size() < 2448 ? 2048 : stream.size();
    ASSERT_EQ(map.stream_size(), n) << c.name;
    Bytes copy(n);
    copy_stream(c.file, map, 0, copy);
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), stream.begin())) << c.name;
    const std::size_t last = n - 1;
    EXPECT_EQ(sector_position(map, last).sector, d.raw[last] / 2352) << c.name;
  }
}

}  // namespace
}  // namespace vexlo::test
