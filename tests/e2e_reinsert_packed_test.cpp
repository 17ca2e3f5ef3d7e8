// End-to-end: textures edited inside packed streams go back packed again,
// and a scan of the copy finds them edited and every other TIM as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "tests/disc_builder.h"
#include "tests/expected.h"
#include "tests/packed_builder.h"
#include "tests/ppf_apply.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

const std::string kScanKeys =
    " unpack=\"1\" writetim=\"1\" writeindex=\"1\" cdimage=\"1\" "
    "maxtims=\"100\"";

// A 16-bit TIM of `w`x`h` whose pixels come from `pixel(i)`.
Bytes direct_tim(uint16_t w, uint16_t h,
                 const std::function<uint8_t(std::size_t)>& pixel) {
  Bytes pixels(std::size_t{w} * h * 2);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = pixel(i);
  return make_tim({.flags = 2, .w = w, .h = h, .pixels = pixels});
}

Bytes noise_tim(uint16_t w, uint16_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  return direct_tim(w, h, [&](std::size_t) { return uint8_t(rng()); });
}

// Unpacked bytes holding two TIMs; `second` is the one the tests edit.
struct Content {
  Bytes first = tim_4bit_32x16();
  Bytes second;
  Bytes bytes() const {
    return concat({Bytes(100, 0), first, Bytes(33, 7), second, Bytes(50, 0)});
  }
  std::size_t second_at() const { return 100 + first.size() + 33; }
};

// Input: a plain TIM, the stream, another plain TIM.
struct Input {
  Bytes file;
  std::size_t stream_at = 0, stream_size = 0;
};
Input input_with(const Bytes& stream) {
  const Bytes before = direct_tim(8, 8, [](std::size_t i) { return i; });
  const Bytes after = direct_tim(10, 4, [](std::size_t i) { return 3 * i; });
  Input in;
  in.stream_at = before.size() + 11;
  in.stream_size = stream.size();
  in.file = concat(
      {before, Bytes(11, 0x5A), stream, Bytes(13, 0x5A), after, Bytes(20, 0)});
  return in;
}

using Packer = std::function<Bytes(const Bytes&)>;
struct Form {
  const char* name;  // the scheme as lines show it
  Packer pack;
};

std::vector<Form> forms() {
  std::vector<Form> f = {
      {"lzss", [](const Bytes& b) { return pack_lzss(b, 2); }},
      {"lzss", [](const Bytes& b) { return pack_lzss(b, 3); }},
      {"napk", pack_napk},
      {"gt-zip", pack_gt_zip},
      {"ulz",
       [](const Bytes& b) { return pack_ulz(b, UlzHeader::kLower, 0, 10); }},
      {"ulz",
       [](const Bytes& b) { return pack_ulz(b, UlzHeader::kUpper, 2, 13); }},
      {"slz",
       [](const Bytes& b) {
         // The stored chunk holds only the zeros at the end.
         return pack_slz(b, {{2, 300}, {1, b.size() - 340}, {0, 40, true}});
       }},
      {"zlib", pack_zlib},
      {"gzip",
       [](const Bytes& b) {
         return pack_gzip(b, GzipTrailer::kRight, "F.TIM");
       }},
  };
  for (RefpackHeader h : {RefpackHeader::k10FB, RefpackHeader::k11FB,
                          RefpackHeader::k90FB, RefpackHeader::k91FB})
    f.push_back(
        {"refpack", [=](const Bytes& b) { return pack_refpack(b, h); }});
  return f;
}

void scan(const Sandbox& box, const std::string& file, const std::string& out) {
  box.config("infile=\"" + file + "\" outname=\"" + out + "\"" + kScanKeys);
  ASSERT_NE(box.run().out.find("tim(s) found"), std::string::npos);
}

std::string reinsert_lines(const std::string& body, int total) {
  return kHead + "Reinserting from xindex.csv\n" + body + "A total of " +
         std::to_string(total) + " tim(s) reinserted.\n";
}

// The .tim copies a scan wrote under `out`: x1.tim, x2.tim, ...
std::vector<Bytes> tims(const Sandbox& box, const std::string& out) {
  std::vector<Bytes> all;
  for (int n = 1; box.exists(out + std::to_string(n) + ".tim"); ++n)
    all.push_back(box.read(out + std::to_string(n) + ".tim"));
  return all;
}

// The scan of the copy gives the TIMs the sources hold now (the edits among
// them): the other TIMs are as they were.
void expect_rescan(const Sandbox& box, const std::string& copy,
                   const std::string& what) {
  const std::vector<Bytes> now = tims(box, "x");
  ASSERT_EQ(now.size(), 4u) << what;
  scan(box, copy, "y");
  EXPECT_TRUE(tims(box, "y") == now) << what;
}

TEST(ReinsertPacked, AnEditGoesBackIntoEverySchemeAndIsFoundAgain) {
  Content content;
  content.second = direct_tim(24, 16, [](std::size_t i) { return i / 5; });
  Bytes edited = content.second;
  for (std::size_t i = 0; i < 64; ++i) edited[20 + 40 + i] = 0;  // a row
  for (const Form& form : forms()) {
    const std::string what = form.name;
    const Bytes stream = form.pack(content.bytes());
    const Input in = input_with(stream);
    Sandbox box;
    box.write("game.bin", in.file);
    scan(box, "game.bin", "x");
    box.write("x3.tim", edited);
    box.config("reinsert=\"xindex.csv\" outname=\"x\"");
    const std::string at = std::to_string(in.stream_at);
    EXPECT_EQ(box.run().out,
              reinsert_lines("TIM 3 at byte " + at +
                                 ": patched from x3.tim\nWrote xgame.bin and "
                                 "xgame.bin.ppf (1 tim(s) patched).\n",
                             1))
        << what;
    const Bytes copy = box.read("xgame.bin");
    ASSERT_EQ(copy.size(), in.file.size()) << what;
    // Nothing outside the old stream's bytes changes.
    const std::size_t end = in.stream_at + in.stream_size;
    EXPECT_TRUE(
        std::equal(copy.begin(), copy.begin() + in.stream_at, in.file.begin()))
        << what;
    EXPECT_TRUE(
        std::equal(copy.begin() + end, copy.end(), in.file.begin() + end))
        << what;
    Bytes patched = in.file;
    ASSERT_TRUE(ppf_apply(box.read("xgame.bin.ppf"), patched, false)) << what;
    EXPECT_EQ(patched, copy) << what;
    expect_rescan(box, "xgame.bin", what);
  }
}

// A stream that would grow refuses every edited row in it; a plain TIM's
// edit still goes in.
TEST(ReinsertPacked, AStreamThatWouldGrowRefusesItsRows) {
  Content content;
  content.second = direct_tim(64, 32, [](std::size_t) { return 0; });
  const Bytes stream = pack_lzss(content.bytes(), 2);
  const Input in = input_with(stream);
  Sandbox box;
  box.write("game.bin", in.file);
  scan(box, "game.bin", "x");
  const std::vector<Bytes> before = tims(box, "x");
  ASSERT_EQ(before.size(), 4u);
  Bytes first = before[1];
  first[70] ^= 0x11;  // pixels of the 4-bit TIM, which alone would fit
  box.write("x2.tim", first);
  box.write("x3.tim", noise_tim(64, 32, 5));
  Bytes last = before[3];
  last.back() ^= 0x7F;
  box.write("x4.tim", last);
  box.config("reinsert=\"xindex.csv\" outname=\"x\"");
  const std::string out = box.run().out;
  const std::string at = std::to_string(in.stream_at);
  const std::string grow = ": packed lzss data at byte " + at +
                           " would grow from " + std::to_string(stream.size()) +
                           " to ";
  for (const char* n : {"2", "3"}) {
    const std::string line = std::string("TIM ") + n + " at byte " + at + grow;
    const std::size_t p = out.find(line);
    ASSERT_NE(p, std::string::npos) << out;
    const std::size_t size = std::stoul(out.substr(p + line.size()));
    EXPECT_GT(size, stream.size());
    EXPECT_EQ(out.substr(p + line.size() + std::to_string(size).size(), 7),
              " bytes\n");
  }
  EXPECT_NE(out.find("TIM 4 at byte " +
                     std::to_string(in.file.size() - 20 - last.size()) +
                     ": patched from x4.tim\nWrote xgame.bin and "
                     "xgame.bin.ppf (1 tim(s) patched).\nA total of 1 tim(s) "
                     "reinserted.\n"),
            std::string::npos)
      << out;
  // The stream is as it was.
  const Bytes copy = box.read("xgame.bin");
  EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + in.file.size() - 30,
                         in.file.begin()));
}

// A stream gone from the input (a line for each row with sources), or a TIM
// gone from the stream, gets its line and changes nothing.
TEST(ReinsertPacked, AStreamOrTimNoLongerThereGetsItsLine) {
  Content content;
  content.second = content.first;
  const Input in = input_with(pack_lzss(content.bytes(), 2));
  const std::string at = std::to_string(in.stream_at);
  const struct {
    bool poke_header;
    std::string line;
  } cases[] = {
      {true, "TIM 2 at byte " + at + ": no lzss data at byte " + at +
                 " of game.bin any more\nTIM 3 at byte " + at +
                 ": no lzss data at byte " + at + " of game.bin any more\n"},
      {false, "TIM 2 at byte " + at +
                  ": no TIM of 4-bit CLUT 32x16 at byte 101 in lzss data at "
                  "byte " +
                  at + " of game.bin any more\n"},
  };
  for (const auto& c : cases) {
    Sandbox box;
    box.write("game.bin", in.file);
    scan(box, "game.bin", "x");
    Bytes first = box.read("x2.tim");
    first[70] ^= 0x11;
    box.write("x2.tim", first);
    if (c.poke_header) {
      Bytes file = in.file;
      file[in.stream_at] = 'l';  // "lZSS"
      box.write("game.bin", file);
    } else {
      const Bytes csv = box.read("xindex.csv");
      std::string text(csv.begin(), csv.end());
      const std::size_t p = text.find(",lzss,100");
      ASSERT_NE(p, std::string::npos);
      box.write("xindex.csv", text.replace(p, 9, ",lzss,101"));
    }
    box.config("reinsert=\"xindex.csv\" outname=\"x\"");
    EXPECT_EQ(box.run().out, reinsert_lines(c.line, 0));
    EXPECT_FALSE(box.exists("xgame.bin"));
  }
}

// A repeat of an edited TIM in the same stream gets the same edit.
TEST(ReinsertPacked, ARepeatInTheSameStreamGetsTheEdit) {
  Content content;
  content.second = content.first;
  const Input in = input_with(pack_napk(content.bytes()));
  Sandbox box;
  box.write("game.bin", in.file);
  scan(box, "game.bin", "x");
  Bytes first = box.read("x2.tim");
  first[70] ^= 0x11;
  box.write("x2.tim", first);
  box.config("reinsert=\"xindex.csv\" outname=\"x\"");
  const std::string at = std::to_string(in.stream_at);
  EXPECT_EQ(box.run().out,
            reinsert_lines("TIM 2 at byte " + at +
                               ": patched from x2.tim\nTIM 3 at byte " + at +
                               ": patched from x2.tim\nWrote xgame.bin and "
                               "xgame.bin.ppf (2 tim(s) patched).\n",
                           2));
  box.write("x3.tim", first);  // what the copy's TIM 3 must now be
  expect_rescan(box, "xgame.bin", "napk");
}

// A TIM stored as it is in a stored slz chunk is found twice: packed, and
// as a plain TIM repeating it. The edit goes into the stream; the plain
// copy's bytes were packed anew, so its row is refused.
TEST(ReinsertPacked, APlainTimInsideAStreamPackedAgainIsLeftAlone) {
  Content content;
  content.second = direct_tim(24, 16, [](std::size_t i) { return i / 5; });
  const std::size_t stored = content.second.size();
  const Bytes bytes = content.bytes();
  const Input in = input_with(
      pack_slz(bytes, {{1, content.second_at()}, {0, stored}, {1, 50}}));
  Sandbox box;
  box.write("game.bin", in.file);
  scan(box, "game.bin", "x");
  ASSERT_TRUE(box.exists("x5.tim"));
  Bytes edited = content.second;
  edited[100] ^= 0x42;
  box.write("x3.tim", edited);
  box.config("reinsert=\"xindex.csv\" outname=\"x\"");
  const std::string at = std::to_string(in.stream_at);
  const std::size_t plain = static_cast<std::size_t>(
      std::search(in.file.begin(), in.file.end(), content.second.begin(),
                  content.second.end()) -
      in.file.begin());
  EXPECT_EQ(box.run().out,
            reinsert_lines("TIM 3 at byte " + at +
                               ": patched from x3.tim\nTIM 4 at byte " +
                               std::to_string(plain) +
                               ": it lies in slz data "
                               "at byte " +
                               at +
                               ", which was packed again\n"
                               "Wrote xgame.bin and xgame.bin.ppf (1 tim(s) "
                               "patched).\n",
                           1));
  scan(box, "xgame.bin", "y");
  EXPECT_EQ(box.read("y3.tim"), edited);
}

// In a raw image the stream crosses sectors (and a Form 2, an audio and a
// mode 0 sector between them): both edits in it go into the new stream,
// which goes into the data sectors it covers, whose codes are made anew,
// and nowhere else.
TEST(ReinsertPacked, AStreamAcrossSectorsOfARawImage) {
  Content content;
  content.second = noise_tim(96, 64, 9);
  Bytes edited = content.second;
  std::fill(edited.begin() + 20, edited.begin() + 20 + 3000, 0);
  const Bytes stream = pack_gt_zip(content.bytes());
  ASSERT_GT(stream.size(), 5 * 2048u);
  const Input in = input_with(stream);
  const Disc disc = wrap_stream(in.file, 300);
  Sandbox box;
  box.write("game.bin", disc.image);
  scan(box, "game.bin", "x");
  Bytes first = box.read("x2.tim");
  first[70] ^= 0x11;
  box.write("x2.tim", first);
  box.write("x3.tim", edited);
  box.config("reinsert=\"xindex.csv\" outname=\"x\"");
  const std::string at = std::to_string(disc.raw[in.stream_at]);
  EXPECT_EQ(box.run().out,
            reinsert_lines("TIM 2 at byte " + at +
                               ": patched from x2.tim\nTIM 3 at byte " + at +
                               ": patched from x3.tim\nWrote xgame.bin and "
                               "xgame.bin.ppf (2 tim(s) patched).\n",
                           2));
  const Bytes copy = box.read("xgame.bin");
  ASSERT_EQ(copy.size(), disc.image.size());
  std::set<std::size_t> stream_sectors;
  for (std::size_t i = in.stream_at; i < in.stream_at + in.stream_size; ++i)
    stream_sectors.insert(disc.raw[i] / 2352);
  std::size_t changed = 0;
  for (std::size_t s = 0; s < copy.size() / 2352; ++s) {
    if (std::equal(copy.begin() + s * 2352, copy.begin() + s * 2352 + 2352,
                   disc.image.begin() + s * 2352))
      continue;
    ++changed;
    EXPECT_TRUE(stream_sectors.count(s)) << "sector " << s;
  }
  EXPECT_GT(changed, 1u);
  Bytes patched = disc.image;
  ASSERT_TRUE(ppf_apply(box.read("xgame.bin.ppf"), patched, false));
  EXPECT_EQ(patched, copy);
  expect_rescan(box, "xgame.bin", "raw image");
}

}  // namespace
}  // namespace vexlo::test
