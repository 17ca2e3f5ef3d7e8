// Unit tests of the reinsertion modules: sector codes, the catalogue reader,
// the picture readers and the picture-to-TIM rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "catalogue/reader.h"
#include "convert/bmp.h"
#include "convert/picture.h"
#include "convert/png.h"
#include "disc/edc_ecc.h"
#include "reinsert/to_tim.h"
#include "tests/tim_builder.h"

namespace vexlo {
namespace {

using test::Bytes;

// GF(2^8) of ECMA-130 (x^8+x^4+x^3+x^2+1), multiplied bit by bit.
uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1D : 0));
  }
  return r;
}

// A codeword c_0..c_{n-1} of ECMA-130's P or Q code has both syndromes
// zero: the sum of c_i and the sum of c_i * alpha^(n-1-i).
bool codeword_ok(const Bytes& c) {
  uint8_t s0 = 0, s1 = 0;
  for (uint8_t v : c) {
    s0 ^= v;
    s1 = gf_mul(s1, 2) ^ v;
  }
  return s0 == 0 && s1 == 0;
}

// ECMA-130 Annex A, in 16-bit words from the header on: P vector Np holds
// words 43 * Mp + Np (Mp 0..25), Q vector Nq holds words
// (43 * Nq + 44 * Mq) mod 1118 (Mq 0..42) and then words 1118 + Nq and
// 1144 + Nq; each byte plane is one codeword.
bool parity_ok(Bytes s, bool form1) {
  if (form1) std::fill(s.begin() + 12, s.begin() + 16, 0);
  const uint8_t* w = s.data() + 12;
  for (int plane = 0; plane < 2; ++plane) {
    for (int np = 0; np < 43; ++np) {
      Bytes c;
      for (int mp = 0; mp < 26; ++mp)
        c.push_back(w[2 * (43 * mp + np) + plane]);
      if (!codeword_ok(c)) return false;
    }
    for (int nq = 0; nq < 26; ++nq) {
      Bytes c;
      for (int mq = 0; mq < 43; ++mq)
        c.push_back(w[2 * ((43 * nq + 44 * mq) % 1118) + plane]);
      c.push_back(w[2 * (1118 + nq) + plane]);
      c.push_back(w[2 * (1144 + nq) + plane]);
      if (!codeword_ok(c)) return false;
    }
  }
  return true;
}

Bytes raw_sector(uint8_t mode, uint8_t submode) {
  Bytes s(2352);
  for (std::size_t i = 12; i < s.size(); ++i)
    s[i] = static_cast<uint8_t>(i * 7);
  std::fill(s.begin() + 1, s.begin() + 11, 0xFF);
  s[0] = s[11] = 0;
  s[15] = mode;
  s[18] = s[22] = submode;
  return s;
}

TEST(SectorCodes, RebuiltSectorsCheckOutByEcmaRules) {
  struct Case {
    uint8_t mode, submode;
    bool rebuilt;
  } cases[] = {{1, 0, true}, {2, 0x08, true}, {2, 0x20, false}, {0, 0, false}};
  for (const Case& c : cases) {
    {
      Bytes s = raw_sector(c.mode, c.submode);
      const Bytes before = s;
      ASSERT_EQ(rebuild_edc_ecc(s), c.rebuilt) << int(c.mode);
      if (!c.rebuilt) {
        EXPECT_EQ(s, before);
        continue;
      }
      const bool form1 = c.mode == 2;
      // A CRC with no final XOR is zero over its data followed by itself.
      const std::size_t from = form1 ? 16 : 0, to = form1 ? 2076 : 2068;
      EXPECT_EQ(sector_edc(std::span(s).subspan(from, to - from)), 0u);
      EXPECT_NE(sector_edc(std::span(s).subspan(from, to - from - 4)), 0u);
      EXPECT_TRUE(parity_ok(s, form1)) << int(c.mode);
      EXPECT_TRUE(std::equal(s.begin(), s.begin() + 2064, before.begin()));
      if (!form1) {
        EXPECT_EQ(Bytes(s.begin() + 2068, s.begin() + 2076), Bytes(8));
      }
    }
  }
}

// Values from python3-crcmod: mkCrcFun(0x18001801B, 0, rev=True, xorOut=0).
TEST(SectorCodes, EdcMatchesAnIndependentCrc) {
  const std::string digits = "123456789";
  EXPECT_EQ(
      sector_edc(std::span(reinterpret_cast<const uint8_t*>(digits.data()),
                           digits.size())),
      0x6EC2EDC4u);
  Bytes ramp;
  for (int i = 0; i < 2048; ++i) ramp.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(sector_edc(ramp), 0xCD5184E2u);
}

TEST(CatalogueReader, TakesOurCsvAndNamesWhatIsWrong) {
  const std::string header =
      "number,counted,file,offset,sector,sector_offset,size,mode,bpp,width,"
      "height,palettes,image_x,image_y,clut_x,clut_y,consistent,tim,bmp,png";
  const std::string row =
      "7,yes,\"a,\"\"b\"\".bin\",4096,2,24,320,4-bit CLUT,4,32,16,1,0,0,0,480,"
      "yes,x7.tim,,x7.png";
  struct Case {
    std::string text, why;
  } cases[] = {
      {header + "\r\n" + row + "\r\n", ""},
      {header + ",duplicate_of\n" + row + ",3\n", ""},
      {header + ",packed,disc,packed_offset\n" + row + ",ulz,,1200\n", ""},
      {header + ",packed,packed_offset\n" + row + ",lzss,\n",
       "row 1: packed_offset is not a number"},
      {"number,file\r\n1,a\r\n", "its header is not a catalogue's"},
      {header + "\r\n" + row.substr(0, 30), "row 1: too few columns"},
      {header + "\r\n7,yes,\"a.bin,4096", "a quoted field is not closed"},
      {header + "\r\n7,yes,a,40x6,,,320,m,4,32,16,1,0,0,0,480,yes,,,",
       "row 1: offset is not a number"},
  };
  for (const Case& c : cases) {
    std::vector<CatalogueRow> rows;
    EXPECT_EQ(read_catalogue(c.text, rows), c.why) << c.text;
    if (!c.why.empty()) continue;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].file, "a,\"b\".bin");
    EXPECT_EQ(rows[0].sector, 2u);
    EXPECT_EQ(rows[0].sector_offset, 24u);
    EXPECT_EQ(rows[0].png, "x7.png");
    EXPECT_EQ(rows[0].duplicate_of.has_value(),
              c.text.find("duplicate_of") != std::string::npos);
    const bool packed = c.text.find("ulz") != std::string::npos;
    EXPECT_EQ(rows[0].packed, packed ? "ulz" : "");
    EXPECT_EQ(rows[0].packed_offset, packed ? 1200u : 0u);
  }
}

// TIMs of every mode with the values the colour rules single out: 0x0000,
// opaque black, STP colours, several CLUT rows and odd widths.
std::vector<Bytes> sample_tims() {
  const std::vector<uint16_t> clut = {0x0000, 0x8000, 0x801F, 0x03E0, 0x7C00,
                                      0x7FFF, 0x0421, 0x0000, 0x8421};
  std::vector<uint16_t> two_rows = clut;
  two_rows.resize(16, 0x1234);
  two_rows.insert(two_rows.end(), clut.rbegin(), clut.rend());
  Bytes p4, p8, p15, p24;
  for (int i = 0; i < 30; ++i) p4.push_back(static_cast<uint8_t>(i * 0x31));
  for (int i = 0; i < 40; ++i) p8.push_back(static_cast<uint8_t>(i % 9));
  for (uint16_t v : {0x0000, 0x8000, 0x801F, 0x7FFF, 0x0001, 0x8401})
    test::put16(p15, v);
  for (int i = 0; i < 3 * 3 * 3 + 3; ++i)
    p24.push_back(static_cast<uint8_t>(i * 37));
  return {
      test::make_tim(
          {.clut_h = 2, .clut = two_rows, .w = 5, .h = 3, .pixels = p4}),
      test::make_tim({.flags = 9,
                      .clut_w = 256,
                      .clut = clut,
                      .w = 4,
                      .h = 5,
                      .pixels = p8}),
      test::make_tim({.flags = 2, .w = 3, .h = 2, .pixels = p15}),
      test::make_tim({.flags = 3, .w = 5, .h = 3, .pixels = p24}),
  };
}

TimInfo info_of(const Bytes& tim) {
  return examine_offset(tim, 0, ExamineOptions{.looseflags = true})->info;
}

// The PNG or bitmap this program writes for `tim` and CLUT row `row`.
Bytes written_picture(const Bytes& tim, int32_t row, Target target) {
  Bytes out;
  if (target == Target::kBitmap) {
    EXPECT_EQ(build_bmp(info_of(tim), out, row), BmpStatus::kBuilt);
  } else {
    encode_png(info_of(tim), row, 6, [&](std::span<const uint8_t> b) {
      out.insert(out.end(), b.begin(), b.end());
      return true;
    });
  }
  return out;
}

TEST(PictureToTim, EditsFollowTheColourRules) {
  const std::vector<Bytes> tims = sample_tims();
  const std::string not_in =
      "colour (1,2,3,255) at 4,2 of p is not in the TIM's palette";
  const std::string moved = "the pixels of p differ from the TIM's at 3,4";
  struct Case {
    int tim;
    bool rgb;       // the picture saved again without its palette
    int plte;       // PLTE entry set to `c` (pixels follow), or -1
    uint32_t x, y;  // else the pixel set to `c`, with index `k`
    Rgba c;
    int k;
    bool keep_indices;
    std::string why;
    std::size_t at;  // first changed byte of the TIM, and its new bytes
    Bytes want;
    std::size_t plte_size = 0;  // the PLTE cut to this many entries
  } cases[] = {
      // 15-bit: alpha 254 sets STP, black is opaque black, alpha < 128 is 0.
      {2, true, -1, 0, 0, {255, 0, 0, 254}, 0, false, "", 20, {0x1F, 0x80}},
      {2, true, -1, 1, 1, {7, 7, 7, 255}, 0, false, "", 28, {0x00, 0x80}},
      {2, true, -1, 2, 0, {90, 90, 90, 3}, 0, false, "", 24, {0x00, 0x00}},
      // 4-bit: a colour of the row takes its first entry; others refused.
      {0, true, -1, 1, 0, {0, 255, 0, 255}, 0, false, "", 96, {0x30}},
      {0, true, -1, 4, 2, {1, 2, 3, 255}, 0, false, not_in, 0, {}},
      // 8-bit palette PNG: its index as it is; a changed PLTE entry rewrites
      // that entry; a _pal image must keep the indices.
      {1, false, -1, 0, 0, {9, 9, 9, 255}, 200, false, "", 544, {200}},
      {1, false, 5, 0, 0, {0, 0, 255, 255}, 0, true, "", 30, {0x00, 0x7C}},
      {1, false, -1, 3, 4, {0, 0, 0, 0}, 7, true, moved, 0, {}},
      // Colour first: a PLTE cut and reordered by an editor, pixels showing
      // the row's colours, is a pixel edit by colour, the CLUT untouched; a
      // colour the row lacks is refused unless the PLTE is the whole row.
      {0, false, -1, 1, 0, {0, 255, 0, 255}, 0, false, "", 96, {0x30}, 3},
      {0, false, -1, 1, 0, {0, 255, 0, 255}, 9, false, "", 96, {0x30}},
      {0, false, -1, 4, 2, {1, 2, 3, 255}, 1, false, not_in, 0, {}, 3},
      {0, false, 2, 0, 0, {0, 0, 128, 255}, 0, false, "", 24, {0x00, 0x40}},
  };
  for (const Case& c : cases) {
    const Bytes& tim = tims[c.tim];
    const TimInfo info = info_of(tim);
    Picture p;
    ASSERT_EQ(read_picture(written_picture(tim, 0, Target::kPng), info.width,
                           info.height, p),
              "");
    p.indexed = !c.rgb;
    if (c.plte >= 0) {
      p.palette[c.plte] = c.c;
      for (std::size_t i = 0; i < p.pixels.size(); ++i)
        p.pixels[i] = p.palette[p.index[i]];
    } else {
      p.pixels[c.y * p.width + c.x] = c.c;
      if (!c.rgb) p.index[c.y * p.width + c.x] = static_cast<uint8_t>(c.k);
    }
    if (c.plte_size != 0) {
      std::reverse(p.palette.begin(), p.palette.end());
      p.palette.resize(c.plte_size);
    }
    Bytes back = tim;
    EXPECT_EQ(apply_picture(back, p, 0, Target::kPng, c.keep_indices, "p"),
              c.why);
    if (!c.why.empty()) continue;
    Bytes want = tim;
    std::copy(c.want.begin(), c.want.end(), want.begin() + c.at);
    EXPECT_EQ(back, want) << c.tim << " " << c.at;
  }
}

// Interlaced, grey and re-encoded pictures as another program saves them
// decode to the same pixels.
TEST(PictureReader, ReadsWhatAnEditorSaves) {
  if (std::system("convert -version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "ImageMagick (convert) is not installed";
  const auto dir = std::filesystem::temp_directory_path() /
                   ("vexlo-pic-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const Bytes& tim : sample_tims()) {
    const TimInfo info = info_of(tim);
    Picture want;
    const Bytes png = written_picture(tim, 0, Target::kPng);
    ASSERT_EQ(read_picture(png, info.width, info.height, want), "");
    std::ofstream(dir / "in.png", std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), std::ssize(png));
    for (const char* out : {"-interlace PNG PNG32:", "-interlace PNG PNG8:",
                            "-interlace none PNG24:", "BMP3:"}) {
      const std::string cmd = "cd '" + dir.string() + "' && convert in.png " +
                              out + "out >/dev/null 2>&1";
      ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
      std::ifstream f(dir / "out", std::ios::binary);
      const Bytes file(std::istreambuf_iterator<char>(f), {});
      Picture pic;
      ASSERT_EQ(read_picture(file, info.width, info.height, pic), "") << out;
      // Colours survive every format, but those of unseen pixels and alpha
      // only full-colour RGBA.
      const bool alpha = std::string(out).find("PNG32") != std::string::npos;
      for (std::size_t i = 0; i < pic.pixels.size(); ++i) {
        Rgba c = want.pixels[i];
        if (!alpha && c.a == 0) continue;
        if (!alpha) c.a = pic.pixels[i].a;
        EXPECT_EQ(pic.pixels[i], c) << out << " pixel " << i;
      }
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace vexlo
