#include "disc/ecm.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/disc_container_writer.h"

namespace vexlo::test {
namespace {

// A Video CD made by vcdimager (Form 2 MPEG sectors, Form 1 file system);
// empty when the tools are missing.
Bytes video_cd() {
  if (std::system(
          "(command -v vcdxbuild && command -v ffmpeg) >/dev/null 2>&1") != 0)
    return {};
  const auto dir = std::filesystem::temp_directory_path() /
                   ("vexlo_ecm_vcd_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "v.xml") << R"(<?xml version="1.0"?>
<!DOCTYPE videocd PUBLIC "-//GNU//DTD VideoCD//EN" "http://www.gnu.org/software/vcdimager/videocd.dtd">
<videocd xmlns="http://www.gnu.org/software/vcdimager/1.0/" class="vcd" version="2.0">
<info><album-id/><volume-count>1</volume-count><volume-number>1</volume-number><restriction>0</restriction></info>
<pvd><volume-id>T</volume-id><system-id>CD-RTOS CD-BRIDGE</system-id></pvd>
<sequence-items><sequence-item src="v.mpg" id="sequence-00"/></sequence-items>
</videocd>
)";
  const std::string cmd =
      "cd '" + dir.string() +
      "' && ffmpeg -loglevel error -y -f lavfi -i testsrc -t 1 -target "
      "ntsc-vcd v.mpg </dev/null && vcdxbuild --cue-file=v.cue "
      "--bin-file=v.bin v.xml >/dev/null 2>&1";
  Bytes bin;
  if (std::system(cmd.c_str()) == 0) {
    std::ifstream f(dir / "v.bin", std::ios::binary);
    bin.assign(std::istreambuf_iterator<char>(f), {});
  }
  std::filesystem::remove_all(dir);
  return bin;
}

Bytes decoded(const Bytes& ecm, ecm::Outcome* o) {
  uint64_t size = 0;
  *o = ecm::measure(ecm, &size);
  if (*o != ecm::Outcome::kOk) return {};
  Bytes bin(size);
  *o = ecm::decode(ecm, bin);
  return bin;
}

TEST(Ecm, DecodesTheImageItWasMadeFrom) {
  struct Case {
    const char* what;
    Bytes image;
    std::size_t max_run;
    bool every_type;  // each sector type stored at least once
  } cases[] = {
      {"Mode 1", coded_image(20, {1}), 0, false},
      {"Form 1 and Form 2", coded_image(20, {2, 3, 2}), 0, false},
      {"every kind, records of one item", coded_image(24, {1, 2, 3, 0}), 1,
       true},
      {"every kind, long records", coded_image(300, {1, 1, 2, 2, 3, 0}), 0,
       true},
      {"a part-sector tail",
       [] {
         Bytes b = coded_image(5, {2, 1, 3});
         b.resize(b.size() + 1000, 0x42);
         return b;
       }(),
       0, true},
      {"bytes only", Bytes(5000, 0x11), 0, false},
      {"nothing", {}, 0, false},
      {"a vcdimager Video CD", video_cd(), 0, false},
  };
  for (const Case& c : cases) {
    if (c.image.empty() && std::string(c.what) != "nothing") {
      std::printf("[  SKIPPED ] %s: needs vcdxbuild and ffmpeg\n", c.what);
      continue;
    }
    std::size_t counts[4] = {};
    const Bytes ecm = ecm_encode(c.image, counts, c.max_run);
    ecm::Outcome o;
    EXPECT_EQ(decoded(ecm, &o), c.image) << c.what;
    EXPECT_EQ(o, ecm::Outcome::kOk) << c.what;
    if (c.every_type)
      for (int t = 0; t < 4; ++t) {
        EXPECT_GT(counts[t], 0u) << c.what << t;
      }
    if (std::string(c.what).starts_with("a vcdimager")) {
      // Its sectors are kept as Form 1 and Form 2 items, not bytes: the
      // rebuilt EDC and parity are vcdimager's.
      EXPECT_GT(counts[2], 0u);
      EXPECT_GT(counts[3], 0u);
      EXPECT_EQ(counts[0], 16 * (counts[2] + counts[3])) << "only headers";
    }
  }
}

TEST(Ecm, RefusesDamagedFiles) {
  const Bytes image = coded_image(6, {1, 2, 3, 0});
  const Bytes good = ecm_encode(image, nullptr, 2);
  auto with = [&](std::size_t at, uint8_t v) {
    Bytes b = good;
    b[at] ^= v;
    return b;
  };
  auto records = [](std::initializer_list<Bytes> parts) {
    Bytes b = {'E', 'C', 'M', 0};
    for (const Bytes& p : parts)
      std::copy(p.begin(), p.end(), std::back_inserter(b));
    return b;
  };
  const Bytes end = ecm_header(0, 0xFFFFFFFF);
  struct Case {
    const char* what;
    Bytes file;
    ecm::Outcome want;
  } cases[] = {
      {"a data byte changed", with(good.size() / 2, 0x01),
       ecm::Outcome::kChecksum},
      {"the stored EDC changed", with(good.size() - 1, 0x80),
       ecm::Outcome::kChecksum},
      {"no end marker", Bytes(good.begin(), good.end() - 9),
       ecm::Outcome::kTruncated},
      {"no checksum", Bytes(good.begin(), good.end() - 2),
       ecm::Outcome::kTruncated},
      {"no magic", with(0, 0x20), ecm::Outcome::kTruncated},
      {"2^32 Mode 1 sectors from a few bytes",
       records({ecm_header(1, 0xFFFFFFFE), Bytes(5000, 0), end, Bytes(4, 0)}),
       ecm::Outcome::kTruncated},
      {"a header cut short", records({{0x80}}), ecm::Outcome::kTruncated},
      // The fifth byte ends a header whatever its top bit: 0xFF there is
      // the end marker.
      {"a fifth header byte with its top bit",
       records({{0xFC, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(4, 0)}),
       ecm::Outcome::kOk},
  };
  for (const Case& c : cases) {
    ecm::Outcome o;
    decoded(c.file, &o);
    EXPECT_EQ(o, c.want) << c.what;
  }
  // Cut anywhere, the file is refused as truncated and nothing is read
  // past its end (the sanitizers watch the copy).
  for (std::size_t n = 0; n < good.size(); n += 97) {
    const Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    ecm::Outcome o;
    decoded(cut, &o);
    EXPECT_EQ(o, ecm::Outcome::kTruncated) << n;
    EXPECT_EQ(
        ecm::decode(cut, [](const uint8_t*, std::size_t) { return true; }),
        ecm::Outcome::kTruncated)
        << n;
  }
  // A buffer of another size than the image is never written past.
  Bytes small(image.size() - 1);
  EXPECT_EQ(ecm::decode(good, small), ecm::Outcome::kTruncated);
}

}  // namespace
}  // namespace vexlo::test
