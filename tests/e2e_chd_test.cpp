// End-to-end: CHD CD images with cdimage on are scanned as the BIN that
// chdman extracts from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/disc_builder.h"
#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

bool have_chdman() {
  return std::system("command -v chdman >/dev/null 2>&1") == 0;
}

std::string msf(std::size_t sector) {
  char t[40];
  std::snprintf(t, sizeof t, "%02zu:%02zu:%02zu", sector / 4500,
                sector / 75 % 60, sector % 75);
  return t;
}

Bytes tim(const char* name) {
  return read_file(data_path(std::string("real/") + name));
}

// A raw image: TIMs at the start, across a sector border, ending at a
// sector's last data byte and across many hunks, in Form 1 and Mode 1
// sectors with Form 2, audio and mode 0 ones between; then an audio track
// whose samples hold a TIM too.
struct Fixture {
  Bytes bin;
  std::string cue;
};

Fixture raw_fixture() {
  Bytes stream(470 * 2048, 0xAA);
  std::size_t at = 0;
  for (const char* f :
       {"4bit_16x16_ball16c.tim", "15bit_80x75_airport_psxdisk.tim",
        "24bit_640x480_bunpattern.tim", "8bit_128x129_sky.tim"}) {
    const Bytes t = tim(f);
    std::copy(t.begin(), t.end(), stream.begin() + at);
    at += t.size() + (at == 0 ? 1855 : 3001);
  }
  Disc disc = wrap_stream(stream, 0);
  const std::size_t data_sectors = disc.image.size() / 2352;
  const Bytes song =
      concat({Bytes(1000, 0x11), tim("4bit_48x32_clktower.tim")});
  for (int i = 0; i < 30; ++i) {
    std::size_t from = static_cast<std::size_t>(i) * 2352;
    disc.add(Sector::kAudio, song, &from);
  }
  return {disc.image,
          "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE2/2352\n"
          "    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 " +
              msf(data_sectors) + "\n"};
}

// 2048-byte sectors, as from an ISO: its BIN is scanned plainly.
Fixture iso_fixture() {
  Bytes iso = concat({Bytes(5000, 0x22), tim("8bit_128x129_sky.tim"),
                      Bytes(70000, 0x33), tim("4bit_128x85_ferris.tim")});
  iso.resize((iso.size() / 2048 + 200) * 2048, 0x44);
  return {iso,
          "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2048\n"
          "    INDEX 01 00:00:00\n"};
}

// An ISO 9660 disc with TIM files, as 2048-byte sectors and in raw ones: the
// catalogue names their disc files from the CHD as from the BIN.
Fixture named_iso_fixture() {
  return {read_file(data_path("containers/tims_in_iso9660.iso")),
          "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE1/2048\n"
          "    INDEX 01 00:00:00\n"};
}

Fixture named_raw_fixture() {
  const Bytes iso = named_iso_fixture().bin;
  Disc disc;
  for (std::size_t at = 0; at < iso.size();) disc.add(Sector::kForm1, iso, &at);
  return {disc.image,
          "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE2/2352\n"
          "    INDEX 01 00:00:00\n"};
}

// TIMs in data sectors of `kind`, a Form 2 sector after every sixth, every
// sector with the codes a pressed disc has: the sync and parity that chdman
// takes out and a reader makes again. (chdman writes some images of a few
// dozen sectors that it cannot read back itself: this one is larger.)
Fixture pressed_fixture(Sector kind, const char* cue_mode) {
  // Filler as varied as a real disc's data.
  Bytes stream(300 * 2048);
  uint32_t seed = 1;
  for (uint8_t& b : stream)
    b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
  std::size_t at = 100;
  for (const char* f : {"8bit_128x129_sky.tim", "4bit_16x16_ball16c.tim",
                        "15bit_80x75_airport_psxdisk.tim"}) {
    const Bytes t = tim(f);
    std::copy(t.begin(), t.end(), stream.begin() + at);
    at += t.size() + 2000;
  }
  Disc disc;
  for (std::size_t from = 0, n = 1; from < stream.size(); ++n) {
    disc.add(kind, stream, &from);
    if (n % 6 == 0 && kind == Sector::kForm1)
      disc.add(Sector::kForm2, stream, &from);
  }
  set_sector_codes(disc.image);
  return {disc.image, std::string("FILE \"disc.bin\" BINARY\n  TRACK 01 ") +
                          cue_mode + "\n    INDEX 01 00:00:00\n"};
}

Fixture mode2_fixture() {
  return pressed_fixture(Sector::kForm1, "MODE2/2352");
}
Fixture mode1_fixture() {
  return pressed_fixture(Sector::kMode1, "MODE1/2352");
}

// Every other sector with valid codes, the rest with filler, in hunks that
// mix both, among Mode 1, Form 1, Form 2, mode 0 and audio sectors.
Fixture mixed_fixture() {
  Fixture f = raw_fixture();
  set_sector_codes(f.bin, 2);
  return f;
}

bool have_vcdimager() {
  return std::system(
             "command -v vcdimager >/dev/null 2>&1 && "
             "command -v ffmpeg >/dev/null 2>&1") == 0;
}

// A Video CD with TIM files: Form 1 sectors with the parity its writer
// gives them, the MPEG track in Form 2. Empty without vcdimager and ffmpeg.
Fixture vcd_fixture() {
  if (!have_vcdimager()) return {};
  Sandbox box;
  box.write("a.tim", tim("4bit_16x16_ball16c.tim"));
  box.write("b.tim", tim("8bit_128x129_sky.tim"));
  const std::string cmd =
      "cd '" + box.dir().string() +
      "' && ffmpeg -loglevel error -f lavfi -i "
      "testsrc=size=352x288:rate=25 -f lavfi -i sine=sample_rate=44100 -t 0.5 "
      "-target pal-vcd x.mpg && vcdimager -q -T '2000-01-01 00:00:00' "
      "--add-file=a.tim,BALL.TIM --add-file=b.tim,SKY.TIM -c disc.cue "
      "-b disc.bin x.mpg >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return {};
  const Bytes cue = box.read("disc.cue");
  return {box.read("disc.bin"), std::string(cue.begin(), cue.end())};
}

// Runs `cmd` in `box`'s folder.
void shell(const Sandbox& box, const std::string& cmd) {
  const std::string line = "cd '" + box.dir().string() + "' && { " + cmd +
                           "; } >shell.log 2>&1 && rm shell.log";
  if (std::system(line.c_str()) == 0) return;
  const Bytes log = box.read("shell.log");
  FAIL() << cmd << "\n" << std::string(log.begin(), log.end());
}

// Every output line but the "Reading" one.
std::string without_reading(const std::string& out) {
  const std::size_t r = out.find("Reading ");
  if (r == std::string::npos) return out;
  return out.substr(0, r) + out.substr(out.find('\n', r) + 1);
}

constexpr const char* kConfig =
    "infile=\"img\" outname=\"x\" writetim=\"1\" writebmp=\"1\" "
    "writepng=\"1\" writeindex=\"1\" cdimage=\"1\" maxtims=\"100\"";

TEST(ChdImage, ScansAsTheExtractedBin) {
  if (!have_chdman()) GTEST_SKIP() << "chdman (mame-tools) is not installed";
  const struct {
    const char* name;
    Fixture (*make)();
    bool named;
  } fixtures[] = {{"raw", raw_fixture, false},
                  {"iso", iso_fixture, false},
                  {"iso 9660", named_iso_fixture, true},
                  {"iso 9660 in raw sectors", named_raw_fixture, true},
                  {"mode 2 with parity", mode2_fixture, false},
                  {"mode 1 with parity", mode1_fixture, false},
                  {"some sectors with parity", mixed_fixture, false},
                  {"video cd", vcd_fixture, false}};
  for (const auto& fx : fixtures) {
    const Fixture f = fx.make();
    if (f.bin.empty()) {
      std::printf("Skipping the %s: vcdimager or ffmpeg is missing\n", fx.name);
      continue;
    }
    for (const char* codecs : {"-c cdlz", "-c cdzl", "-c cdfl", ""}) {
      SCOPED_TRACE(std::string(fx.name) + " " + codecs);
      Sandbox chd, bin;
      chd.write("disc.bin", f.bin);
      chd.write("disc.cue", f.cue);
      shell(chd, std::string("chdman createcd -i disc.cue -o img.chd ") +
                     codecs + " && chdman extractcd -i img.chd -o x.cue -ob '" +
                     bin.path("img").string() +
                     "' && mv img.chd img && rm disc.* x.cue");
      chd.config(kConfig);
      bin.config(kConfig);
      const std::string got = chd.run().out;
      EXPECT_EQ(without_reading(got), without_reading(bin.run().out));
      EXPECT_NE(got.find(reading("img", chd.read("img").size())),
                std::string::npos);
      EXPECT_NE(got.find("TIM at byte"), std::string::npos) << got;
      EXPECT_EQ(chd.files(), bin.files());
      if (fx.named) {
        const Bytes csv = chd.read("xindex.csv");
        EXPECT_NE(
            std::string(csv.begin(), csv.end()).find(",DATA/BALL16C.TIM,0,"),
            std::string::npos);
      }
      for (const std::string& name : bin.files()) {
        if (name == "img") continue;
        EXPECT_EQ(chd.read(name), bin.read(name)) << name;
      }
    }
  }
}

// Reinserting into a CHD writes the BIN it holds with the edit: the copy
// and patch that reinserting into that BIN gives.
TEST(ChdImage, ReinsertWritesTheBinWithTheEdit) {
  if (!have_chdman()) GTEST_SKIP() << "chdman (mame-tools) is not installed";
  const struct {
    const char* name;
    Fixture (*make)();
  } fixtures[] = {{"raw", raw_fixture},
                  {"mode 2 with parity", mode2_fixture},
                  {"mode 1 with parity", mode1_fixture},
                  {"some sectors with parity", mixed_fixture},
                  {"video cd", vcd_fixture}};
  const std::string scan =
      "infile=\"game.%\" outname=\"x\" writetim=\"1\" writeindex=\"1\" "
      "cdimage=\"1\"";
  for (const auto& fx : fixtures) {
    const Fixture f = fx.make();
    if (f.bin.empty()) continue;  // told by ScansAsTheExtractedBin
    for (const char* codecs : {"-c cdlz", "-c cdzl", "-c cdfl", ""}) {
      SCOPED_TRACE(std::string(fx.name) + " " + codecs);
      Sandbox chd, bin;
      chd.write("disc.bin", f.bin);
      chd.write("disc.cue", f.cue);
      shell(chd, std::string("chdman createcd -i disc.cue -o game.chd ") +
                     codecs + " && chdman extractcd -i game.chd -o '" +
                     bin.path("game.cue").string() + "' && rm disc.*");
      const Bytes cue = bin.read("game.cue");
      std::string want_cue(cue.begin(), cue.end());
      want_cue.replace(want_cue.find("game.bin"), 8, "xgame.bin");
      Bytes edited;
      for (Sandbox* box : {&chd, &bin}) {
        std::string keys = scan;
        keys.replace(keys.find('%'), 1, box == &chd ? "chd" : "bin");
        box->config(keys);
        box->run();
        if (edited.empty()) {
          edited = box->read("x1.tim");
          ASSERT_FALSE(edited.empty());
          edited.back() ^= 0x33;
        }
        box->write("x1.tim", edited);
        box->config("reinsert=\"xindex.csv\" outname=\"x\"");
        const std::string out = box->run().out;
        EXPECT_NE(out.find(box == &chd ? "Wrote xgame.bin, xgame.cue and "
                                         "xgame.bin.ppf (1 tim(s) patched).\n"
                                       : "Wrote xgame.bin and xgame.bin.ppf "
                                         "(1 tim(s) patched).\n"),
                  std::string::npos)
            << out;
      }
      EXPECT_EQ(chd.read("xgame.bin"), bin.read("xgame.bin"));
      EXPECT_EQ(chd.read("xgame.bin.ppf"), bin.read("xgame.bin.ppf"));
      // The cue sheet is chdman's, and makes a CHD of the patched BIN.
      const Bytes got_cue = chd.read("xgame.cue");
      EXPECT_EQ(std::string(got_cue.begin(), got_cue.end()), want_cue);
      if (*codecs != '\0') continue;
      shell(chd,
            "chdman createcd -i xgame.cue -o re.chd && chdman extractcd -i "
            "re.chd -o re.cue");
      EXPECT_EQ(chd.read("re.bin"), chd.read("xgame.bin"));
    }
  }
}

// Where hunk 0's bytes start: chdman writes the hunks after the track
// metadata, which follows the header.
std::size_t first_hunk_at(const Bytes& chd) {
  auto be = [&](std::size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | chd[at + i];
    return static_cast<std::size_t>(v);
  };
  std::size_t end = 124;
  for (std::size_t at = be(48, 8); at != 0; at = be(at + 8, 8))
    end = std::max(end, at + 16 + be(at + 5, 3));
  return end;
}

// `whole` without the reports of the TIMs at `gone`, with one fewer in the
// total for each, and with `damaged` after the line that opens the scan.
std::string without_tims(std::string whole, const std::vector<int>& gone,
                         int tims, const std::string& damaged) {
  for (int at : gone) {
    const std::size_t r =
        whole.find("TIM at byte " + std::to_string(at) + ", ");
    if (r == std::string::npos) return "no TIM at " + std::to_string(at);
    whole.erase(r, whole.find('\n', whole.find('\n', r) + 1) + 1 - r);
  }
  const std::size_t t = whole.find(total(tims));
  whole.replace(t, total(tims).size(),
                total(tims - static_cast<int>(gone.size())));
  std::size_t open = whole.find("Disc image: ");
  if (open == std::string::npos) open = whole.find("Reading ");
  whole.insert(whole.find('\n', open) + 1, damaged);
  return whole;
}

// The line that opens the scan of a raw image, up to its count of data.
std::string masked(std::string out) {
  const std::size_t d = out.find("Disc image: ");
  if (d != std::string::npos) {
    const std::size_t from = out.find("scanning ", d);
    out.erase(from, out.find('\n', from) - from);
  }
  return out;
}

// A damaged hunk costs the TIMs whose bytes it holds and nothing else: the
// line that opens the scan stays, the hunk's line comes right after it.
TEST(ChdImage, DamagedHunkIsToldAndTheRestIsScanned) {
  if (!have_chdman()) GTEST_SKIP() << "chdman (mame-tools) is not installed";
  const struct {
    const char* name;
    Fixture (*make)();
    bool first;  // hunk 0, else one about half way through the file
    std::vector<int> gone;
  } cases[] = {
      {"raw, first hunk", raw_fixture, true, {24, 2071}},
      {"raw, a hunk under a large TIM", raw_fixture, false, {26572}},
      {"iso, first hunk", iso_fixture, true, {5000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    const Fixture f = c.make();
    box.write("disc.bin", f.bin);
    box.write("disc.cue", f.cue);
    shell(box, "chdman createcd -i disc.cue -o img.chd -c cdzl");
    box.config("infile=\"img.chd\" cdimage=\"1\" maxtims=\"100\"");
    const std::string whole = box.run().out;
    Bytes chd = box.read("img.chd");
    const std::size_t at = c.first ? first_hunk_at(chd) + 16 : chd.size() / 2;
    for (std::size_t i = 0; i < 8; ++i) chd[at + i] ^= 0xFF;
    box.write("img.chd", chd);
    const std::string out = box.run().out;
    const std::size_t line = out.find("Can't read img.chd: hunk ");
    ASSERT_NE(line, std::string::npos) << out;
    const std::string damaged =
        out.substr(line, out.find('\n', line) + 1 - line);
    if (c.first) {
      EXPECT_EQ(damaged, "Can't read img.chd: hunk 0 is damaged.\n");
    }
    int count = 0;
    for (std::size_t r = whole.find("TIM at byte "); r != std::string::npos;
         r = whole.find("TIM at byte ", r + 1))
      ++count;
    EXPECT_EQ(masked(out), masked(without_tims(whole, c.gone, count, damaged)));
  }

  Sandbox box;
  box.write("disc.bin", raw_fixture().bin);
  box.write("disc.cue", raw_fixture().cue);
  shell(box, "chdman createcd -i disc.cue -o img.chd -c cdzl");
  box.config("infile=\"img.chd\" cdimage=\"1\"");
  Bytes chd = box.read("img.chd");
  // Another version is refused with its line, and the run goes on.
  chd[15] = 4;
  box.write("img.chd", chd);
  EXPECT_NE(box.run().out.find(
                "Can't read img.chd: CHD version 4 (convert it with a current "
                "chdman).\n" +
                total(0)),
            std::string::npos);
}

// A row whose TIM lies in a damaged hunk is refused naming it, the others
// go on, and the CHD gets no copy: it would hold zeros for the hunk.
TEST(ChdImage, ReinsertRefusesTheDamagedHunkAndWritesNoCopy) {
  if (!have_chdman()) GTEST_SKIP() << "chdman (mame-tools) is not installed";
  Sandbox box;
  const Fixture f = raw_fixture();
  box.write("disc.bin", f.bin);
  box.write("disc.cue", f.cue);
  shell(box, "chdman createcd -i disc.cue -o game.chd -c cdzl && rm disc.*");
  box.config(
      "infile=\"game.chd\" outname=\"x\" writetim=\"1\" writeindex=\"1\" "
      "cdimage=\"1\"");
  box.run();
  for (const char* name : {"x1.tim", "x4.tim"}) {
    Bytes t = box.read(name);
    t.back() ^= 0x33;
    box.write(name, t);
  }
  Bytes chd = box.read("game.chd");
  for (std::size_t i = 0; i < 8; ++i) chd[first_hunk_at(chd) + 16 + i] ^= 0xFF;
  box.write("game.chd", chd);
  const std::vector<std::string> before = box.files();
  box.config("reinsert=\"xindex.csv\" outname=\"x\"");
  const std::string out = box.run().out;
  // Its rows are refused whether edited or not: their TIMs cannot be read.
  EXPECT_NE(out.find("TIM 1 at byte 24: game.chd can't be read: hunk 0 is "
                     "damaged\nTIM 2 at byte 2071: game.chd can't be read: "
                     "hunk 0 is damaged\nTIM 4 at byte 1723345: patched from "
                     "x4.tim\nCould not write xgame.bin\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(box.files(), before);
}

// A CHD's copy, cue sheet and patch take one `_2` suffix when any of them
// is taken; when any would replace the catalogue, none is left.
TEST(ChdImage, ReinsertNamesItsThreeFilesAlike) {
  if (!have_chdman()) GTEST_SKIP() << "chdman (mame-tools) is not installed";
  const struct {
    const char* name;
    const char* catalogue;  // the scan's xindex.csv, under this name
    std::vector<std::string> lines;
    std::vector<std::string> written;
  } cases[] = {
      {"two CHDs of one name",
       "xindex.csv",
       {"Wrote xgame.bin, xgame.cue and xgame.bin.ppf (1 tim(s) patched).\n",
        "Wrote xgame_2.bin, xgame_2.cue and xgame_2.bin.ppf (1 tim(s) "
        "patched).\n"},
       {"xgame.bin", "xgame.bin.ppf", "xgame.cue", "xgame_2.bin",
        "xgame_2.bin.ppf", "xgame_2.cue"}},
      // The second CHD's names then take the suffix.
      {"the cue sheet would replace the catalogue",
       "xgame.cue",
       {"Could not write xgame.cue\n",
        "Wrote xgame_2.bin, xgame_2.cue and xgame_2.bin.ppf (1 tim(s) "
        "patched).\n"},
       {"xgame_2.bin", "xgame_2.bin.ppf", "xgame_2.cue"}},
  };
  const Fixture f = raw_fixture();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.write("disc.bin", f.bin);
    box.write("disc.cue", f.cue);
    shell(box,
          "mkdir -p in/a in/b && chdman createcd -i disc.cue -o in/a/game.chd "
          "&& cp in/a/game.chd in/b/ && rm disc.*");
    box.config(
        "inpath=\"in\" outname=\"x\" writetim=\"1\" writeindex=\"1\" "
        "cdimage=\"1\" maxtims=\"1\"");
    box.run();
    Bytes t = box.read("x1.tim");
    t.back() ^= 0x33;
    box.write("x1.tim", t);
    box.write("x2.tim", t);
    box.write(c.catalogue, box.read("xindex.csv"));
    const std::vector<std::string> before = box.files();
    box.config(std::string("reinsert=\"") + c.catalogue + "\" outname=\"x\"");
    const std::string out = box.run().out;
    for (const std::string& line : c.lines)
      EXPECT_NE(out.find(line), std::string::npos) << out;
    std::vector<std::string> want = before;
    want.insert(want.end(), c.written.begin(), c.written.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(box.files(), want);
  }
}

}  // namespace
}  // namespace vexlo::test
