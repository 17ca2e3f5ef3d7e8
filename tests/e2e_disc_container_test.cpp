// End-to-end: PBP and ECM discs with cdimage on are scanned as the BIN they
// hold: the same lines but "Reading" (and a PBP's "Disc k of n"), the same
// files, the same catalogue but its disc column.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/disc_builder.h"
#include "tests/disc_container_writer.h"
#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

Bytes tim(const char* name) {
  return read_file(data_path(std::string("real/") + name));
}

// TIMs at the start, across sector borders and in a long run of data, in
// Form 1 and Mode 1 sectors among Form 2, audio and mode 0 ones, every
// sector with the codes a pressed disc has; its last 100 sectors filler.
Bytes raw_image() {
  Bytes stream(560 * 2048, 0xAA);
  std::size_t at = 0;
  for (const char* f :
       {"4bit_16x16_ball16c.tim", "15bit_80x75_airport_psxdisk.tim",
        "24bit_640x480_bunpattern.tim", "8bit_128x129_sky.tim"}) {
    const Bytes t = tim(f);
    std::copy(t.begin(), t.end(), stream.begin() + static_cast<long>(at));
    at += t.size() + (at == 0 ? 1855 : 3001);
  }
  Bytes image = wrap_stream(stream, 0).image;
  set_sector_codes(image);
  return image;
}

// An ISO 9660 disc of TIM files in Form 1 sectors: its catalogue names the
// disc files.
Bytes named_image() {
  const Bytes iso = read_file(data_path("containers/tims_in_iso9660.iso"));
  Disc disc;
  for (std::size_t at = 0; at < iso.size();) disc.add(Sector::kForm1, iso, &at);
  set_sector_codes(disc.image);
  return disc.image;
}

// 2048-byte sectors: not a raw image, scanned as plain bytes.
Bytes plain_image() {
  Bytes iso = concat({Bytes(5000, 0x22), tim("8bit_128x129_sky.tim"),
                      Bytes(7000, 0x33), tim("4bit_128x85_ferris.tim")});
  iso.resize((iso.size() / 2048 + 20) * 2048, 0x44);
  return iso;
}

// A Video CD by vcdimager with TIM files; empty without it and ffmpeg.
Bytes video_cd() {
  if (std::system("(command -v vcdimager && command -v ffmpeg) >/dev/null "
                  "2>&1") != 0)
    return {};
  Sandbox box;
  box.write("a.tim", tim("4bit_16x16_ball16c.tim"));
  box.write("b.tim", tim("8bit_128x129_sky.tim"));
  const std::string cmd =
      "cd '" + box.dir().string() +
      "' && ffmpeg -loglevel error -f lavfi -i "
      "testsrc=size=352x288:rate=25 -t 0.5 -target pal-vcd x.mpg "
      "</dev/null && vcdimager -q -T '2000-01-01 00:00:00' "
      "--add-file=a.tim,BALL.TIM --add-file=b.tim,SKY.TIM -c disc.cue "
      "-b disc.bin x.mpg >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return {};
  return box.read("disc.bin");
}

// The lines of `out` but those starting with one of `drop`.
std::string without(const std::string& out,
                    std::initializer_list<const char*> drop) {
  std::string kept;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = out.find('\n', at);
    end = end == std::string::npos ? out.size() : end + 1;
    const std::string line = out.substr(at, end - at);
    bool keep = true;
    for (const char* d : drop) keep = keep && !line.starts_with(d);
    if (keep) kept += line;
    at = end;
  }
  return kept;
}

// The catalogue's text with the last field of each record (disc) taken
// out, and the values that field held.
std::string without_disc(const Bytes& csv, std::string* discs) {
  std::string text(csv.begin(), csv.end()), out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    const std::string rec = text.substr(at, end - at);
    const std::size_t comma = rec.rfind(',');
    out += rec.substr(0, comma) + "\r\n";
    if (at != 0) *discs += rec.substr(comma + 1) + ";";
    at = end + 2;
  }
  return out;
}

constexpr const char* kConfig =
    "infile=\"img\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
    "writepng=\"1\" writeindex=\"1\" cdimage=\"1\" maxtims=\"100\"";

TEST(DiscContainers, ScanAsTheBinTheyHold) {
  const struct {
    const char* name;
    Bytes (*make)();
  } fixtures[] = {{"raw", raw_image},
                  {"iso 9660 in raw sectors", named_image},
                  {"2048-byte sectors", plain_image},
                  {"video cd", video_cd}};
  const struct {
    const char* name;
    Bytes (*pack)(const Bytes&);
    const char* disc;  // the disc column of every row
  } kinds[] = {
      {"pbp", [](const Bytes& b) { return make_pbp({{b}}); }, "1"},
      {"pbp of stored blocks",
       [](const Bytes& b) { return make_pbp({{.bin = b, .store_all = true}}); },
       "1"},
      {"ecm", [](const Bytes& b) { return ecm_encode(b); }, ""},
  };
  for (const auto& fx : fixtures) {
    const Bytes image = fx.make();
    if (image.empty()) {
      std::printf("[  SKIPPED ] the %s: needs vcdimager and ffmpeg\n", fx.name);
      continue;
    }
    Sandbox bin;
    bin.write("img", image);
    bin.config(kConfig);
    const std::string want = bin.run().out;
    ASSERT_NE(want.find("TIM at byte"), std::string::npos) << fx.name;
    for (const auto& kind : kinds) {
      SCOPED_TRACE(std::string(fx.name) + ", " + kind.name);
      Sandbox box;
      const Bytes packed = kind.pack(image);
      box.write("img", packed);
      box.config(kConfig);
      const std::string got = box.run().out;
      EXPECT_NE(got.find(reading("img", packed.size())), std::string::npos);
      EXPECT_EQ(without(got, {"Reading "}), without(want, {"Reading "}));
      EXPECT_EQ(box.files(), bin.files());
      for (const std::string& name : bin.files()) {
        if (name == "img") continue;
        if (name != "xindex.csv") {
          EXPECT_EQ(box.read(name), bin.read(name)) << name;
          continue;
        }
        std::string discs, none;
        EXPECT_EQ(without_disc(box.read(name), &discs),
                  without_disc(bin.read(name), &none));
        std::string all;
        for (std::size_t i = 0; i < none.size(); ++i)
          if (none[i] == ';') all += std::string(kind.disc) + ";";
        EXPECT_EQ(discs, all);
      }
    }
  }
}

// The discs of a PBP are scanned in turn as the files of a tree: numbers and
// the limit run on from one to the next.
TEST(DiscContainers, DiscsOfAPbpScanInTurn) {
  const Bytes a = raw_image(), b = named_image();
  for (const char* limit : {"100", "3"}) {
    SCOPED_TRACE(limit);
    Sandbox box, tree;
    box.write("game.pbp", make_pbp({{a}, {b}}));
    box.config(std::string("infile=\"game.pbp\" outname=\"x\" writetim=\"1\" "
                           "writeindex=\"1\" cdimage=\"1\" maxtims=\"") +
               limit + "\"");
    // The walk takes a folder's subfolders before its files.
    tree.write("t/sub/1.bin", a);
    tree.write("t/2.bin", b);
    tree.config(std::string("inpath=\"t\" searchtype=\"*.bin\" outname=\"x\" "
                            "writetim=\"1\" writeindex=\"1\" cdimage=\"1\" "
                            "maxtims=\"") +
                limit + "\"");
    const std::string got = box.run().out;
    const std::string want = tree.run().out;
    EXPECT_EQ(without(got, {"Reading ", "Disc 1 of 2", "Disc 2 of 2"}),
              without(want, {"Reading "}));
    const std::size_t one = got.find("Disc 1 of 2 in game.pbp\nDisc image");
    EXPECT_NE(one, std::string::npos) << got;
    if (std::string(limit) == "100") {
      EXPECT_NE(got.find("Disc 2 of 2 in game.pbp\n", one), std::string::npos);
      std::string discs, none;
      without_disc(box.read("xindex.csv"), &discs);
      EXPECT_EQ(discs, "1;1;1;1;2;2;2;2;2;2;2;2;");
    }
    for (const std::string& name : tree.files()) {
      if (name.starts_with("x") && name != "xindex.csv" &&
          name != "xindex.html") {
        EXPECT_EQ(box.read(name), tree.read(name)) << name;
      }
    }
  }
}

// A PBP past the input size limit is read disc by disc: its DATA.PSAR moved
// 2 GiB on (a sparse file), it scans as the PBP it was.
TEST(DiscContainers, PbpPastTheSizeLimitIsReadDiscByDisc) {
  const Bytes pbp = make_pbp({{raw_image()}, {named_image()}});
  constexpr uint64_t kShift = uint64_t{1} << 31;
  const uint32_t psar = static_cast<uint32_t>(
      pbp[0x24] | pbp[0x25] << 8 | pbp[0x26] << 16 | pbp[0x27] << 24);
  Bytes head(pbp.begin(), pbp.begin() + psar);
  const uint64_t moved = psar + kShift;
  for (int i = 0; i < 4; ++i)
    head[0x24 + i] = static_cast<uint8_t>(moved >> (8 * i));
  Sandbox small, big;
  small.write("game.pbp", pbp);
  big.write("game.pbp", head);
  {
    std::fstream f(big.path("game.pbp"),
                   std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(moved));
    f.write(reinterpret_cast<const char*>(pbp.data() + psar),
            static_cast<std::streamsize>(pbp.size() - psar));
    ASSERT_TRUE(f.good());
  }
  const uint64_t size = pbp.size() + kShift;
  for (const char* cdimage : {"1", "0"}) {
    SCOPED_TRACE(cdimage);
    const std::string cfg =
        std::string(
            "infile=\"game.pbp\" outname=\"x\" writetim=\"1\" "
            "writeindex=\"1\" maxtims=\"100\" cdimage=\"") +
        cdimage + "\"";
    small.config(cfg);
    big.config(cfg);
    const std::string got = big.run().out;
    if (*cdimage == '0') {
      // Without cdimage it is a file like any other: too large to scan.
      EXPECT_NE(got.find("Skipping game.pbp: larger than 2147483647 bytes.\n"),
                std::string::npos)
          << got;
      continue;
    }
    EXPECT_NE(
        got.find("Reading game.pbp (" + std::to_string(size) + " bytes)...\n"),
        std::string::npos)
        << got;
    EXPECT_EQ(without(got, {"Reading "}),
              without(small.run().out, {"Reading "}));
    for (const std::string& name : small.files()) {
      if (name.starts_with("x")) {
        EXPECT_EQ(big.read(name), small.read(name)) << name;
      }
    }
    // An edit goes back into its disc as it would below the limit.
    for (Sandbox* b : {&small, &big}) {
      Bytes t = b->read("x1.tim");
      ASSERT_FALSE(t.empty());
      t.back() ^= 0x33;
      b->write("x1.tim", t);
      b->config("reinsert=\"xindex.csv\" outname=\"x\"");
    }
    const std::string patched = big.run().out;
    EXPECT_NE(patched.find("Wrote xgame.bin, xgame.cue and xgame.bin.ppf"),
              std::string::npos)
        << patched;
    EXPECT_EQ(patched, small.run().out);
    EXPECT_EQ(big.read("xgame.bin"), small.read("xgame.bin"));
  }
}

// What cannot be read is told in one line, and the run goes on.
TEST(DiscContainers, RefusalsAreOneLine) {
  const Bytes image = raw_image();
  const Bytes pbp = make_pbp({{image}});
  const Bytes ecm = ecm_encode(image);
  auto poke = [](Bytes b, std::size_t at, uint8_t v) {
    b[at] ^= v;
    return b;
  };
  auto cut = [](const Bytes& b, std::size_t n) {
    return Bytes(b.begin(), b.begin() + static_cast<long>(n));
  };
  const struct {
    const char* what;
    Bytes file;
    const char* line;
  } cases[] = {
      {"an encrypted PBP", poke(pbp, kPsarAt, 0x20),
       "encrypted or unknown PBP"},
      {"a cut PBP", cut(pbp, pbp.size() - 100), "truncated"},
      {"a cut ECM", cut(ecm, ecm.size() - 100), "truncated"},
      {"an ECM whose checksum changed", poke(ecm, ecm.size() - 1, 0x5A),
       "its checksum does not match"},
  };
  for (const auto& c : cases) {
    Sandbox box;
    box.write("g.img", c.file);
    box.config("infile=\"g.img\" cdimage=\"1\"");
    const std::string out = box.run().out;
    EXPECT_NE(out.find(reading("g.img", c.file.size()) +
                       "Can't read g.img: " + c.line + ".\n"),
              std::string::npos)
        << c.what << "\n"
        << out;
    EXPECT_NE(out.find(total(0)), std::string::npos) << c.what << "\n" << out;
  }
}

// A damaged block costs its own sectors and nothing else.
TEST(DiscContainers, DamagedBlockIsToldAndTheRestIsScanned) {
  const Bytes image = raw_image();
  Sandbox box;
  box.write("img", image);
  box.config("infile=\"img\" cdimage=\"1\" maxtims=\"100\"");
  const std::string whole = box.run().out;
  Bytes pbp = make_pbp({{image}});
  // The last block holds filler only: its bytes garbled.
  const std::size_t last = pbp.size() - 40;
  for (std::size_t i = 0; i < 8; ++i) pbp[last + i] ^= 0xFF;
  box.write("img", pbp);
  const std::string out = box.run().out;
  const std::string told = "Can't read img: block " +
                           std::to_string(image.size() / 0x9300) +
                           " is damaged.\n";
  EXPECT_EQ(without(out, {"Reading ", "Can't read ", "Disc image: "}),
            without(whole, {"Reading ", "Disc image: "}));
  EXPECT_NE(out.find(told + "Disc image: "), std::string::npos) << out;

  // A block under the large TIM: that TIM is not reported, the others are.
  pbp = make_pbp({{image}});
  const std::size_t entry = kPsarAt + kIndexAt + 5 * 32;
  const std::size_t block = kPsarAt + kBlocksAt + pbp[entry] +
                            (pbp[entry + 1] << 8) + (pbp[entry + 2] << 16);
  for (std::size_t i = 0; i < 8; ++i) pbp[block + 10 + i] ^= 0xFF;
  box.write("img", pbp);
  const std::string holed = box.run().out;
  EXPECT_NE(holed.find("Can't read img: block 5 is damaged.\n"),
            std::string::npos)
      << holed;
  EXPECT_EQ(holed.find("TIM at byte 26572,"), std::string::npos) << holed;
  for (const std::string& kept :
       {std::string("TIM at byte 24,"), std::string("TIM at byte 2071,"),
        std::string("TIM at byte 1723345,"), total(3)})
    EXPECT_NE(holed.find(kept), std::string::npos) << kept << "\n" << holed;
}

// Reinserting into a PBP or an ECM writes the BIN it holds with the edit,
// its cue sheet and the patch: the copy and patch that reinserting into that
// BIN gives.
TEST(DiscContainers, ReinsertWritesTheBinTheyHold) {
  const Bytes image = raw_image(), other = named_image();
  const struct {
    const char* what;
    const char* input;
    Bytes packed;
    std::vector<std::string> copies;  // written, each with .cue and .ppf
    int disc;                         // whose rows are edited
  } cases[] = {
      {"pbp", "game.pbp", make_pbp({{image}}), {"xgame"}, 1},
      {"ecm of a BIN", "game.bin.ecm", ecm_encode(image), {"xgame"}, 1},
      {"ecm", "game.ecm", ecm_encode(image), {"xgame"}, 1},
      {"disc 2 of a pbp",
       "game.pbp",
       make_pbp({{other}, {image}}),
       {"xgame_disc2"},
       2},
  };
  const std::string scan_keys =
      " outname=\"x\" writetim=\"1\" writeindex=\"1\" cdimage=\"1\"";
  // The BIN's own reinsertion, the first TIM edited.
  Sandbox bin;
  bin.write("game.bin", image);
  bin.config("infile=\"game.bin\"" + scan_keys);
  bin.run();
  Bytes edited = bin.read("x1.tim");
  ASSERT_FALSE(edited.empty());
  edited.back() ^= 0x33;
  bin.write("x1.tim", edited);
  bin.config("reinsert=\"xindex.csv\" outname=\"x\"");
  ASSERT_NE(bin.run().out.find("Wrote xgame.bin and xgame.bin.ppf (1 "),
            std::string::npos);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Sandbox box;
    box.write(c.input, c.packed);
    box.config(std::string("infile=\"") + c.input + "\"" + scan_keys);
    box.run();
    // The first TIM of the disc edited as in the BIN.
    box.write(c.disc == 1 ? "x1.tim" : "x9.tim", edited);
    box.config("reinsert=\"xindex.csv\" outname=\"x\"");
    const std::string out = box.run().out;
    for (const std::string& copy : c.copies) {
      EXPECT_NE(out.find("Wrote " + copy + ".bin, " + copy + ".cue and " +
                         copy + ".bin.ppf (1 tim(s) patched).\n"),
                std::string::npos)
          << out;
      EXPECT_EQ(box.read(copy + ".bin"), bin.read("xgame.bin"));
      EXPECT_EQ(box.read(copy + ".bin.ppf"), bin.read("xgame.bin.ppf"));
      const Bytes cue = box.read(copy + ".cue");
      EXPECT_EQ(std::string(cue.begin(), cue.end()),
                "FILE \"" + copy +
                    ".bin\" BINARY\n  TRACK 01 MODE2/2352\n"
                    "    INDEX 01 00:00:00\n");
    }
    // One copy per disc with changed rows.
    if (c.disc == 2) {
      EXPECT_FALSE(box.exists("xgame.bin"));
    }
  }
}

}  // namespace
}  // namespace vexlo::test
