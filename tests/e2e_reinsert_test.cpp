// End-to-end: edited pictures and .tim copies put back with reinsert.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <functional>
#include <set>

#include "tests/disc_builder.h"
#include "tests/expected.h"
#include "tests/png_check.h"
#include "tests/ppf_apply.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

const std::string kScanKeys =
    " writetim=\"1\" writebmp=\"1\" writepng=\"1\" allcluts=\"1\" "
    "writeindex=\"1\" looseflags=\"1\" cdimage=\"1\" maxtims=\"100\"";

std::string reinserted(int n) {
  return "A total of " + std::to_string(n) + " tim(s) reinserted.\n";
}

// A 4-bit TIM of 32x8 with two CLUT rows: row 0 of distinct greys (opaque
// black, STP white among them), row 1 of colours.
Bytes two_row_tim() {
  std::vector<uint16_t> clut;
  for (uint16_t k = 0; k < 16; ++k) clut.push_back(k * 0x0421);
  clut[0] = 0x8000;
  clut[15] = 0xFFFF;
  for (uint16_t k = 0; k < 16; ++k) clut.push_back(0x0400 + k);
  Bytes pixels(128);
  for (std::size_t i = 0; i < pixels.size(); ++i)
    pixels[i] = static_cast<uint8_t>(i * 37);
  return make_tim(
      {.clut_h = 2, .clut = clut, .w = 8, .h = 8, .pixels = pixels});
}

// Scans with every output key into x* files; `keys` names the input.
void scan(const Sandbox& box, const std::string& keys) {
  box.config(keys + " outname=\"x\"" + kScanKeys);
  ASSERT_NE(box.run().out.find("tim(s) found"), std::string::npos);
}

std::string reinsert_config(const std::string& outname = "x") {
  return "reinsert=\"xindex.csv\" infile=\"nothing\"" +
         (outname.empty() ? std::string() : " outname=\"" + outname + "\"");
}

TEST(Reinsert, UneditedPicturesWriteNothing) {
  Bytes stream;
  for (const char* f : {"4bit_16x16_ball16c.tim", "8bit_128x129_sky.tim",
                        "15bit_144x144_stp_alpha.tim",
                        "4bit_256x24_psxsnake_font_flags0_noclut.tim",
                        "4bit_128x32_dbugfont_short_imglen.tim",
                        "8bit_24x32_airport_gamepln.tim"})
    stream = concat({stream, read_file(data_path(std::string("real/") + f)),
                     Bytes(7, 0xAA)});
  // Odd-width 24-bit, and mixed mode (only its .tim is written).
  stream =
      concat({stream, two_row_tim(),
              make_tim({.flags = 3, .w = 5, .h = 9, .pixels = Bytes(90, 9)}),
              make_tim({.flags = 0x0C,
                        .clut_w = 256,
                        .w = 4,
                        .h = 4,
                        .pixels = Bytes(32, 1)})});
  for (const std::string what : {"plain", "raw image", "tree"}) {
    Sandbox box;
    if (what == "tree") {
      box.write("in/a.bin", stream);
      box.write("in/sub/b.bin", wrap_stream(stream, 0).image);
      scan(box, "inpath=\"in\"");
    } else {
      box.write("game.bin",
                what == "plain" ? stream : wrap_stream(stream, 100).image);
      scan(box, "infile=\"game.bin\"");
    }
    const auto before = box.files();
    ASSERT_GE(before.size(), 31u) << what;  // every TIM reported
    box.config(reinsert_config());
    EXPECT_EQ(box.run().out,
              kHead + "Reinserting from xindex.csv\n" + reinserted(0))
        << what;
    EXPECT_EQ(box.files(), before) << what;
  }
}

// Each kind of source, edited by writing the picture of an edited TIM over
// it, lands in the copy exactly; the patch gives the copy and undoes it.
TEST(Reinsert, EditsFromEachSourceLandExactly) {
  const Bytes tim = two_row_tim();
  Bytes indices = tim, palette = tim;
  for (std::size_t i = 0; i < 9; ++i) indices[96 + 3 * i] = 0x5A;  // pixels
  palette[8 + 12 + 32 + 6] = 0x1F;  // row 1, entry 3
  const Bytes real = read_file(data_path("real/15bit_8x8_airport_mouse.tim"));
  Bytes real_edit = real;
  real_edit[20] ^= 0x21;
  struct Case {
    const char* source;  // copied from the edited TIM's files over x<n>...
    int number;
    bool disc, dry;
    const Bytes& edited;
  } cases[] = {
      {"1.png", 1, false, false, indices},
      {"1.bmp", 1, true, false, indices},
      {"1.tim", 1, false, false, indices},
      {"1_pal1.png", 1, true, false, palette},
      {"2.png", 2, true, false, real_edit},
      {"1.png", 1, false, true, indices},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.source) + (c.disc ? " disc" : "");
    const Bytes stream =
        concat({Bytes(40000, 1), tim, Bytes(5, 2), real, Bytes(9, 3)});
    const Bytes edited_stream =
        concat({Bytes(40000, 1), c.number == 1 ? c.edited : tim, Bytes(5, 2),
                c.number == 2 ? c.edited : real, Bytes(9, 3)});
    const Disc disc = wrap_stream(stream, 0);
    const Bytes input = c.disc ? disc.image : stream;
    Sandbox box;
    box.write("game.bin", input);
    scan(box, "infile=\"game.bin\"");
    // The edited TIM's own pictures.
    std::filesystem::create_directories(box.path("e"));
    box.write("e/t.tim", c.edited);
    box.config("infile=\"e/t.tim\" outname=\"e/e\"" + kScanKeys);
    box.run();
    box.write(std::string("x") + c.source,
              box.read("e/e1" + std::string(c.source).substr(1)));
    box.config(reinsert_config(c.dry ? "" : "x"));
    const std::size_t at = c.number == 1 ? 40000 : 40000 + tim.size() + 5;
    const std::size_t shown = c.disc ? disc.raw[at] : at;
    std::string want =
        kHead + (c.dry ? kNoOut : "") + "Reinserting from xindex.csv\nTIM " +
        std::to_string(c.number) + " at byte " + std::to_string(shown) +
        ": patched from x" + c.source + "\n";
    if (!c.dry)
      want += "Wrote xgame.bin and xgame.bin.ppf (1 tim(s) patched).\n";
    EXPECT_EQ(box.run().out, want + reinserted(1)) << what;
    if (c.dry) {
      EXPECT_FALSE(box.exists("xgame.bin")) << what;
      continue;
    }
    const Bytes copy = box.read("xgame.bin");
    if (c.disc) {
      // Only sectors holding the TIM's bytes change.
      std::set<std::size_t> touched;
      for (std::size_t i = 0; i < c.edited.size(); ++i)
        touched.insert(disc.raw[at + i] / 2352);
      ASSERT_EQ(copy.size(), input.size());
      for (std::size_t s = 0; s < input.size() / 2352; ++s) {
        const bool same =
            std::equal(copy.begin() + s * 2352, copy.begin() + s * 2352 + 2352,
                       input.begin() + s * 2352);
        EXPECT_TRUE(same || touched.count(s)) << what << " sector " << s;
      }
      for (std::size_t i = 0; i < c.edited.size(); ++i)
        ASSERT_EQ(copy[disc.raw[at + i]], c.edited[i]) << what << " byte " << i;
    } else {
      EXPECT_EQ(copy, edited_stream) << what;
    }
    Bytes patched = input;
    EXPECT_EQ(box.read("xgame.bin.ppf")[57], 1) << what;  // block check
    ASSERT_TRUE(ppf_apply(box.read("xgame.bin.ppf"), patched, false)) << what;
    EXPECT_EQ(patched, copy) << what;
    ASSERT_TRUE(ppf_apply(box.read("xgame.bin.ppf"), patched, true)) << what;
    EXPECT_EQ(patched, input) << what;
  }
}

// A 4-bit 16x8 TIM like a font: its row holds transparent, opaque black,
// white, red and twelve colours its pixels never show.
Bytes font_tim() {
  std::vector<uint16_t> clut = {0x0000, 0x8000, 0x7FFF, 0x001F};
  for (uint16_t k = 1; k <= 12; ++k) clut.push_back(k * 0x0421 + 0x20);
  Bytes pixels;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; x += 2)
      pixels.push_back(
          static_cast<uint8_t>((x + y) % 4 | ((x + 1 + 3 * y) % 4) << 4));
  return make_tim({.clut = clut, .w = 4, .h = 8, .pixels = pixels});
}

// The Python that has Pillow, or empty.
std::string pillow_python() {
  for (const char* p : {"python3", "/usr/bin/python3"})
    if (std::system(
            (std::string(p) + " -c 'import PIL' >/dev/null 2>&1").c_str()) == 0)
      return p;
  return {};
}

// Editors re-save an indexed picture with its palette reordered and cut to
// the colours used: pixels drawn in colours of the row are pixel edits, each
// the first entry that shows its colour, and the CLUT stays.
TEST(Reinsert, PicturesSavedByEditorsKeepThePalette) {
  const std::string py = pillow_python();
  const struct {
    const char* name;
    bool have;
    std::string edit;  // draws red at 0,0 and opaque black at 5,2
  } editors[] = {
      {"ImageMagick", std::system("convert -version >/dev/null 2>&1") == 0,
       "convert x1.png -fill 'srgba(255,0,0,1)' -draw 'point 0,0' -fill "
       "'srgba(0,0,0,1)' -draw 'point 5,2' x1.png"},
      {"Pillow quantize", !py.empty(),
       py + " -c \"from PIL import Image; im = Image.open('x1.png')"
            ".convert('RGBA'); im.putpixel((0, 0), (255, 0, 0, 255)); "
            "im.putpixel((5, 2), (0, 0, 0, 255)); im.quantize(colors=16, "
            "method=2).save('x1.png')\""},
  };
  const Bytes tim = font_tim();
  Bytes want = tim;
  want[64] = static_cast<uint8_t>((want[64] & 0xF0) | 3);       // red
  want[82] = static_cast<uint8_t>((want[82] & 0x0F) | 1 << 4);  // black
  for (const auto& e : editors) {
    if (!e.have) {
      std::printf("Skipping %s: it is not installed\n", e.name);
      continue;
    }
    SCOPED_TRACE(e.name);
    Sandbox box;
    box.write("game.bin", concat({Bytes(100, 0), tim, Bytes(50, 0)}));
    box.config(
        "infile=\"game.bin\" outname=\"x\" writepng=\"1\" "
        "writeindex=\"1\"");
    box.run();
    const std::string cmd =
        "cd '" + box.dir().string() + "' && " + e.edit + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    // The editor cut the palette: PLTE order and length say nothing.
    EXPECT_NE(read_png_info(box.read("x1.png")).plte.size(), 16u * 3);
    box.config(reinsert_config());
    EXPECT_EQ(box.run().out,
              kHead +
                  "Reinserting from xindex.csv\nTIM 1 at byte 100: "
                  "patched from x1.png\nWrote xgame.bin and xgame.bin.ppf "
                  "(1 tim(s) patched).\n" +
                  reinserted(1));
    EXPECT_EQ(box.read("xgame.bin"),
              concat({Bytes(100, 0), want, Bytes(50, 0)}));
  }
}

// The same edit into the same disc in 2448- and 2336-byte sectors gives the
// 2352 image's copy in those sectors, codes and all.
TEST(Reinsert, EverySectorSizeGetsTheSameEdit) {
  const Bytes tim = two_row_tim();
  Bytes edited = tim;
  for (std::size_t i = 0; i < 9; ++i) edited[96 + 3 * i] = 0x5A;
  const Bytes stream = concat({Bytes(40000, 1), tim, Bytes(9, 3)});
  Disc disc;
  for (std::size_t at = 0; at < stream.size();)
    disc.add(Sector::kForm1, stream, &at);
  set_form1_edc(disc.image);
  Bytes copy2352;
  for (const std::size_t size : {2352, 2448, 2336}) {
    const auto sized = [&](const Bytes& b) {
      return size == 2352 ? b : resize_sectors(b, size, 0x10);
    };
    Sandbox box;
    box.write("game.bin", sized(disc.image));
    scan(box, "infile=\"game.bin\"");
    box.write("x1.tim", edited);
    box.config(reinsert_config());
    EXPECT_NE(box.run().out.find("Wrote xgame.bin"), std::string::npos) << size;
    if (size == 2352) copy2352 = box.read("xgame.bin");
    EXPECT_EQ(box.read("xgame.bin"), sized(copy2352)) << size;
  }
}

// A catalogue with a duplicate_of column: a TIM that repeats an edited one
// gets the same edit.
TEST(Reinsert, RepeatsOfAnEditedTimGetTheSameEdit) {
  const Bytes tim = two_row_tim();
  Sandbox box;
  box.write("game.bin", concat({Bytes(100, 0), tim, Bytes(300, 0), tim}));
  scan(box, "infile=\"game.bin\"");
  const Bytes csv = box.read("xindex.csv");
  std::string text(csv.begin(), csv.end()), with;
  for (const char* tail : {",duplicate_of", ",", ",1"}) {
    const std::size_t end = text.find("\r\n");
    with += text.substr(0, end) + tail + "\r\n";
    text.erase(0, end + 2);
  }
  box.write("xindex.csv", with);
  Bytes edited = tim;
  edited[100] ^= 0x33;
  box.write("x1.tim", edited);
  box.config(reinsert_config());
  EXPECT_EQ(box.run().out,
            kHead + "Reinserting from xindex.csv\n" +
                "TIM 1 at byte 100: patched from x1.tim\n" + "TIM 2 at byte " +
                std::to_string(400 + tim.size()) + ": patched from x1.tim\n" +
                "Wrote xgame.bin and xgame.bin.ppf (2 tim(s) patched).\n" +
                reinserted(2));
  EXPECT_EQ(box.read("xgame.bin"),
            concat({Bytes(100, 0), edited, Bytes(300, 0), edited}));
}

// vcdimager writes two Video CDs, of a file of TIMs and of the same file
// with one TIM edited: reinserting that edit into the first gives every
// changed sector exactly as vcdimager wrote it, EDC and ECC included.
TEST(Reinsert, SectorsComeOutAsVcdimagerWritesThem) {
  if (std::system("command -v vcdxbuild >/dev/null && command -v ffmpeg "
                  ">/dev/null") != 0)
    GTEST_SKIP() << "vcdxbuild (vcdimager) or ffmpeg is not installed";
  Sandbox box;
  const Bytes sky = read_file(data_path("real/8bit_128x129_sky.tim"));
  Bytes edited = sky;
  for (std::size_t i = 2000; i < 9000; i += 7) edited[i] ^= 0x0F;  // pixels
  box.write("v.xml", std::string(R"(<?xml version="1.0"?>
<!DOCTYPE videocd PUBLIC "-//GNU//DTD VideoCD//EN" "http://www.gnu.org/software/vcdimager/videocd.dtd">
<videocd xmlns="http://www.gnu.org/software/vcdimager/1.0/" class="vcd" version="2.0">
<info><album-id/><volume-count>1</volume-count><volume-number>1</volume-number><restriction>0</restriction></info>
<pvd><volume-id>T</volume-id><system-id>CD-RTOS CD-BRIDGE</system-id></pvd>
<filesystem><folder><name>DATA</name><file src="data.bin"><name>DATA.BIN</name></file></folder></filesystem>
<sequence-items><sequence-item src="v.mpg" id="sequence-00"/></sequence-items>
</videocd>
)"));
  const std::string cd = "cd '" + box.dir().string() + "' && ";
  ASSERT_EQ(std::system((cd + "ffmpeg -loglevel error -y -f lavfi -i testsrc "
                              "-t 1 -target ntsc-vcd v.mpg </dev/null")
                            .c_str()),
            0);
  for (const char* name : {"a", "b"}) {
    box.write("data.bin",
              concat({Bytes(5000, 0), *name == 'a' ? sky : edited}));
    const std::string cmd = cd +
                            "vcdxbuild --cue-file=v.cue --bin-file=" + name +
                            ".bin v.xml >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  scan(box, "infile=\"a.bin\" typefilter=\"1\"");
  box.write("x1.tim", edited);
  box.config(reinsert_config());
  EXPECT_NE(box.run().out.find("(1 tim(s) patched)"), std::string::npos);
  const Bytes a = box.read("a.bin"), b = box.read("b.bin"),
              copy = box.read("xa.bin");
  ASSERT_EQ(copy.size(), a.size());
  std::size_t changed = 0;
  for (std::size_t at = 0; at < a.size(); at += 2352) {
    if (std::equal(copy.begin() + at, copy.begin() + at + 2352, a.begin() + at))
      continue;
    ++changed;
    EXPECT_TRUE(
        std::equal(copy.begin() + at, copy.begin() + at + 2352, b.begin() + at))
        << "sector " << at / 2352;
  }
  EXPECT_EQ(changed, 4u);  // bytes 2000-8999 of the TIM, from 7000 on
}

// `png` with IHDR byte `at` (from the chunk's data) set to `v`, CRC fixed.
Bytes with_ihdr(Bytes png, std::size_t at, uint8_t v) {
  png[16 + at] = v;
  const uint32_t crc = static_cast<uint32_t>(crc32(0, png.data() + 12, 17));
  for (int i = 0; i < 4; ++i)
    png[29 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return png;
}

TEST(Reinsert, WrongInputGivesItsLineAndChangesNothing) {
  const Bytes game = embed(two_row_tim(), 100, 50);
  const std::string row = "TIM 1 at byte 100: ";
  using Edit = std::function<void(const Sandbox&)>;
  auto replace = [](const char* name, std::function<Bytes(Bytes)> f) -> Edit {
    return [=](const Sandbox& b) { b.write(name, f(b.read(name))); };
  };
  // Byte `at` of `name` XORed with `x`; its last `n` bytes cut.
  auto poke = [&](const char* name, std::size_t at, uint8_t x) {
    return replace(name, [=](Bytes b) { return b[at] ^= x, b; });
  };
  auto cut = [&](const char* name, std::size_t n) {
    return replace(name, [=](Bytes b) { return b.resize(b.size() - n), b; });
  };
  struct Case {
    Edit edit;
    std::string lines;
    std::string outname = "x";
    bool posix = false;  // the system's words are POSIX ones
  } cases[] = {
      {poke("xindex.csv", 0, 0x20),
       "Can't reinsert from xindex.csv: its header is not a catalogue's.\n"},
      {[](const Sandbox& b) { std::filesystem::remove(b.path("xindex.csv")); },
       "Can't reinsert from xindex.csv: it cannot be read.\n"},
      {cut("xindex.csv", 30),
       "Can't reinsert from xindex.csv: row 1: too few columns.\n"},
      {replace("xindex.csv",
               [](Bytes b) {
                 std::string t(b.begin(), b.end());
                 t.replace(t.find(",32,8,"), 6, ",32,9,");  // height
                 return Bytes(t.begin(), t.end());
               }),
       row + "no TIM of 4-bit CLUT 32x9 at byte 100 of game.bin any more\n"},
      {[](const Sandbox& b) { std::filesystem::remove(b.path("game.bin")); },
       row + "game.bin can't be read: No such file or directory\n", "x", true},
      {[](const Sandbox& b) {
         std::filesystem::remove(b.path("game.bin"));
         std::filesystem::create_directory(b.path("game.bin"));
       },
       row + "game.bin can't be read: Is a directory\n", "x", true},
      {poke("game.bin", 104, 1),  // another mode
       row + "no TIM of 4-bit CLUT 32x8 at byte 100 of game.bin any more\n"},
      {cut("x1.png", 13),
       row + "x1.png is not a PNG this program reads (truncated)\n"},
      {poke("x1.png", 40, 1),
       row + "x1.png is not a PNG this program reads (bad CRC)\n"},
      {replace("x1.png", [](Bytes b) { return with_ihdr(b, 8, 16); }),
       row + "x1.png is not a PNG this program reads (16-bit samples)\n"},
      {replace("x1.png", [](Bytes b) { return with_ihdr(b, 0, 0x7F); }),
       row + "x1.png is 2130706464x8, the TIM is 32x8\n"},
      {cut("x1.bmp", 1),
       row + "x1.bmp is not a BMP this program reads (truncated)\n"},
      {[](const Sandbox& b) { b.write("x1.png", std::string("GIF89a")); },
       row + "x1.png is not a PNG or BMP picture\n"},
      {poke("x1.bmp", 54, 1),
       row +
           "colour (0,0,1,255) at 0,7 of x1.bmp is not in the TIM's palette\n"},
      {poke("x1.tim", 4, 1), row + "x1.tim does not have the TIM's headers\n"},
      {[](const Sandbox& b) {
         Bytes bmp = b.read("x1.bmp"), tim = b.read("x1.tim");
         bmp[54] = bmp[55] = bmp[56] = 0x08;  // a grey of the palette
         tim[96] ^= 0x11;
         b.write("x1.bmp", bmp);
         b.write("x1.tim", tim);
       },
       row + "x1.bmp and x1.tim disagree\n"},
      {poke("x1.tim", 96, 0x11),
       row + "patched from x1.tim\nCould not write ./game.bin\n", "./"},
  };
  for (const Case& c : cases) {
    if (c.posix && Sandbox::windows_build()) continue;
    Sandbox box;
    box.write("game.bin", game);
    scan(box, "infile=\"game.bin\"");
    c.edit(box);
    const auto before = box.files();
    box.config(reinsert_config(c.outname));
    const bool wrote = c.lines.find("patched") != std::string::npos;
    EXPECT_EQ(box.run().out,
              kHead + "Reinserting from xindex.csv\n" + c.lines + reinserted(0))
        << c.lines;
    EXPECT_EQ(box.files(), before) << c.lines;
    if (wrote) {
      EXPECT_EQ(box.read("game.bin"), game);
    }
  }
}

}  // namespace
}  // namespace vexlo::test
