// End-to-end: unpack, TIMs inside packed streams.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/disc_builder.h"
#include "tests/expected.h"
#include "tests/packed_builder.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

// What a packed stream unpacks to: a TIM at 0 and one at 820.
Bytes two_tims() {
  return concat({tim_4bit_32x16(), compressible(500, 9), tim_4bit_32x16()});
}

// A 4-bit TIM of 32x16 zero pixels and a black palette, which packs small.
Bytes blank_tim() {
  return make_tim({.w = 8, .h = 16, .pixels = Bytes(256, 0)});
}

std::string packed_report(std::size_t in, const std::string& scheme,
                          std::size_t at) {
  return "TIM at byte " + std::to_string(in) + " in " + scheme +
         " data at byte " + std::to_string(at) +
         ", size of 320\n32x16, pixelmode: 4-bit CLUT\n";
}

std::string both(const std::string& scheme, std::size_t at) {
  return packed_report(0, scheme, at) + packed_report(820, scheme, at);
}

struct Form {
  const char* name;
  const char* scheme;
  std::function<Bytes(const Bytes&)> pack;
};

Bytes ulz(const Bytes& b, UlzHeader h, int v) { return pack_ulz(b, h, v, 12); }

const Form kForms[] = {
    {"lzss, add-on 2", "lzss", [](const Bytes& b) { return pack_lzss(b, 2); }},
    {"lzss, add-on 3", "lzss", [](const Bytes& b) { return pack_lzss(b, 3); }},
    {"napk", "napk", pack_napk},
    {"Ulz v0", "ulz",
     [](const Bytes& b) { return ulz(b, UlzHeader::kLower, 0); }},
    {"Ulz v2", "ulz",
     [](const Bytes& b) { return ulz(b, UlzHeader::kLower, 2); }},
    {"ULZ v0", "ulz",
     [](const Bytes& b) { return ulz(b, UlzHeader::kUpper, 0); }},
    {"ULZ v2", "ulz",
     [](const Bytes& b) { return ulz(b, UlzHeader::kUpper, 2); }},
    {"gt-zip", "gt-zip", pack_gt_zip},
    {"slz chain of methods 1, 2, 1", "slz",
     [](const Bytes& b) {
       return pack_slz(b, {{1, 300}, {2, 600, true}, {1, b.size() - 900}});
     }},
    {"refpack 10 FB", "refpack",
     [](const Bytes& b) { return pack_refpack(b, RefpackHeader::k10FB); }},
    {"refpack 11 FB", "refpack",
     [](const Bytes& b) { return pack_refpack(b, RefpackHeader::k11FB); }},
    {"refpack 90 FB", "refpack",
     [](const Bytes& b) { return pack_refpack(b, RefpackHeader::k90FB); }},
    {"refpack 91 FB", "refpack",
     [](const Bytes& b) { return pack_refpack(b, RefpackHeader::k91FB); }},
    {"zlib", "zlib", pack_zlib},
    {"gzip", "gzip",
     [](const Bytes& b) { return pack_gzip(b, GzipTrailer::kRight, "t"); }},
    {"gzip, wrong trailer", "gzip",
     [](const Bytes& b) { return pack_gzip(b, GzipTrailer::kWrong); }},
};

TEST(Unpack, EverySchemesTimsAreReportedAtTheStreamsFirstByte) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(f.name);
    const Bytes packed = f.pack(two_tims());
    // A plain TIM before the stream and one after it.
    const Bytes file =
        concat({Bytes(100, 0xEE), tim_4bit_32x16(), Bytes(3676, 0xEE), packed,
                Bytes(7, 0xEE), tim_4bit_32x16(), Bytes(64, 0xEE)});
    const std::size_t after = 4096 + packed.size() + 7;
    Sandbox box;
    box.write("in.bin", file);
    box.config("infile=\"in.bin\" maxtims=\"100\" unpack=\"1\"");
    EXPECT_EQ(box.run().out, kHead + kNoOut + reading("in.bin", file.size()) +
                                 report(100, 320, 32, 16, "4-bit CLUT") +
                                 both(f.scheme, 4096) +
                                 report(after, 320, 32, 16, "4-bit CLUT") +
                                 total(4));
    // Without the key the stream is bytes like any others.
    box.config("infile=\"in.bin\" maxtims=\"100\"");
    EXPECT_EQ(box.run().out, kHead + kNoOut + reading("in.bin", file.size()) +
                                 report(100, 320, 32, 16, "4-bit CLUT") +
                                 report(after, 320, 32, 16, "4-bit CLUT") +
                                 total(2));
  }
}

// Which headers are opened: one level, none inside packed bytes already
// opened, also in the last mintimsize bytes; a TIM stored verbatim in packed
// bytes is a plain TIM as well. The limit counts packed TIMs as any.
TEST(Unpack, WhichStreamsAreOpened) {
  const Bytes tim = tim_4bit_32x16();
  const Bytes lzss = pack_lzss(two_tims(), 2);
  struct Case {
    const char* what;
    Bytes file;
    std::string lines;
    int count;
    const char* limit = "100";
  } cases[] = {
      {"a stored chunk holding a TIM and a stream",
       concat({pack_slz(concat({tim, lzss}), {{0, 320 + lzss.size()}}),
               Bytes(64, 0)}),
       packed_report(0, "slz", 0) + report(16, 320, 32, 16, "4-bit CLUT"), 2},
      {"a stream inside unpacked bytes",
       concat({pack_zlib(concat({tim, lzss})), Bytes(64, 0)}),
       packed_report(0, "zlib", 0), 1},
      {"a stream within the last mintimsize bytes",
       concat({Bytes(30, 0), pack_zlib(blank_tim())}),
       packed_report(0, "zlib", 30), 1},
      {"the limit inside a stream", concat({pack_napk(two_tims()), tim}),
       packed_report(0, "napk", 0) + "Hit MAX_TIMS (1)\n", 1, "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box;
    box.write("in.bin", c.file);
    box.config(std::string("infile=\"in.bin\" unpack=\"1\" maxtims=\"") +
               c.limit + "\"");
    EXPECT_EQ(box.run().out, kHead + kNoOut + reading("in.bin", c.file.size()) +
                                 c.lines + total(c.count));
  }
}

TEST(Unpack, FilesCatalogueAndRepeatsNameTheStream) {
  const Bytes file = concat({tim_4bit_32x16(), Bytes(3776, 0xEE),
                             pack_gzip(two_tims(), GzipTrailer::kMissing)});
  Sandbox box;
  box.write("in.bin", file);
  box.config(
      "infile=\"in.bin\" outname=\"out/x\" writetim=\"1\" writebmp=\"1\" "
      "numbyoffset=\"1\" writeindex=\"1\" unpack=\"1\"");
  std::filesystem::create_directory(box.path("out"));
  const std::string head = kHead + reading("in.bin", file.size()) +
                           report(0, 320, 32, 16, "4-bit CLUT") +
                           packed_report(0, "gzip", 4096);
  EXPECT_EQ(box.run().out, head + packed_report(820, "gzip", 4096) + total(3));
  EXPECT_EQ(box.files("out"),
            (std::vector<std::string>{"x1.tim", "x2.tim", "x3.tim",
                                      "x_0000000000.bmp", "x_0000004096+0.bmp",
                                      "x_0000004096+820.bmp", "xindex.csv",
                                      "xindex.html"}));
  EXPECT_EQ(box.read("out/x2.tim"), tim_4bit_32x16());
  const Bytes csv = box.read("out/xindex.csv");
  const std::string text(csv.begin(), csv.end());
  EXPECT_NE(
      text.find(",duplicate_of,packed,packed_offset,disc\r\n1,yes,in.bin,0,"),
      std::string::npos);
  EXPECT_NE(text.find("\r\n2,yes,in.bin,4096,,,320,"), std::string::npos);
  EXPECT_NE(text.find(",x_0000004096+0.bmp,,,,1,gzip,0,\r\n"),
            std::string::npos);
  EXPECT_NE(text.find(",x_0000004096+820.bmp,,,,1,gzip,820,\r\n"),
            std::string::npos);
  const Bytes page = box.read("out/xindex.html");
  EXPECT_NE(std::string(page.begin(), page.end())
                .find("in gzip data at byte 4096, offset 820"),
            std::string::npos);

  // Repeats compare the TIMs' bytes, packed or not.
  box.config(
      "infile=\"in.bin\" outname=\"x\" writetim=\"1\" skipduplicates=\"1\" "
      "unpack=\"1\"");
  EXPECT_EQ(box.run().out, kHead + reading("in.bin", file.size()) +
                               report(0, 320, 32, 16, "4-bit CLUT") +
                               packed_report(0, "gzip", 4096) +
                               "Same as TIM 1, not written.\n" +
                               packed_report(820, "gzip", 4096) +
                               "Same as TIM 1, not written.\n" + total(1));
}

TEST(Unpack, StreamsOfARawImageAcrossSectorsShowTheirRawOffsets) {
  // Streams that start just before a sector's end, that cross several, and
  // one in the stream's last bytes.
  const Bytes big = pack_refpack(
      concat({two_tims(), compressible(6000, 4), tim_4bit_32x16()}),
      RefpackHeader::k11FB);
  const Bytes last = pack_lzss(two_tims(), 3);
  Bytes stream(40 * 2048, 0xEE);
  const Bytes first = pack_zlib(two_tims());
  const std::size_t at[] = {2047, 5 * 2048 - 3, stream.size() - last.size()};
  std::copy(first.begin(), first.end(), stream.begin() + at[0]);
  std::copy(big.begin(), big.end(), stream.begin() + at[1]);
  std::copy(last.begin(), last.end(), stream.begin() + at[2]);
  const Disc disc = wrap_stream(stream, 0);
  Sandbox box;
  box.write("cd.bin", disc.image);
  box.config("infile=\"cd.bin\" cdimage=\"1\" maxtims=\"100\" unpack=\"1\"");
  const std::string out = box.run().out;
  EXPECT_NE(out.find(both("zlib", disc.raw[at[0]])), std::string::npos) << out;
  EXPECT_NE(out.find(both("refpack", disc.raw[at[1]]) +
                     packed_report(7140, "refpack", disc.raw[at[1]])),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(both("lzss", disc.raw[at[2]]) + total(7)),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace vexlo::test
