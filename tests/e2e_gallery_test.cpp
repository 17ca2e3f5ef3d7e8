// End-to-end: the gallery's looks in headless Chromium, read from the page's
// own layout and probed at a few pixels of a screenshot.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/expected.h"
#include "tests/sandbox.h"

namespace vexlo::test {
namespace {

namespace fs = std::filesystem;

bool have(const std::string& check) {
  return std::system((check + " >/dev/null 2>&1").c_str()) == 0;
}

std::string text_of(const fs::path& p) {
  const Bytes b = read_file(p);
  return std::string(b.begin(), b.end());
}

// A 15-bit TIM of w x h pixels from `colour(x, y)`, loading at x, y.
template <class Colour>
Bytes direct15(uint16_t w, uint16_t h, uint16_t at_x, uint16_t at_y,
               Colour colour) {
  Bytes px;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) put16(px, colour(x, y));
  Bytes tim = make_tim({.flags = 0x02, .w = w, .h = h, .pixels = px});
  tim[12] = static_cast<uint8_t>(at_x);
  tim[13] = static_cast<uint8_t>(at_x >> 8);
  tim[14] = static_cast<uint8_t>(at_y);
  tim[15] = static_cast<uint8_t>(at_y >> 8);
  return tim;
}

// Headless Chromium on `page` with `args` (--dump-dom output returned).
std::string chromium(const fs::path& work, const fs::path& page,
                     const std::string& args) {
  const fs::path profile = work / "chromium-profile";
  fs::remove_all(profile);
  fs::create_directory(profile);
  const fs::path out = work / "chromium-out";
  const std::string cmd =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu "
      "--disable-quic --no-first-run --disable-background-networking "
      "--disable-component-update --disable-sync --hide-scrollbars "
      "--user-data-dir='" +
      profile.string() + "' " + args + " 'file://" + page.string() + "' >'" +
      out.string() + "' 2>/dev/null";
  std::system(cmd.c_str());
  return text_of(out);
}

// The "name value..." lines the probe put in <pre id="probe">.
std::map<std::string, std::vector<int>> probe_lines(const std::string& dom) {
  std::map<std::string, std::vector<int>> m;
  const std::size_t from = dom.find("<pre id=\"probe\">");
  if (from == std::string::npos) return m;
  std::istringstream in(
      dom.substr(from + 16, dom.find("</pre>", from) - from - 16));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    for (double v; words >> v;) m[name].push_back(static_cast<int>(v));
  }
  return m;
}

// Pixels of a screenshot: "x,y" asks for one pixel's "r g b", "count:r,g,b"
// for how many pixels are within 8 of that colour.
std::vector<std::vector<int>> pixels(const fs::path& work, const fs::path& png,
                                     const std::vector<std::string>& asks) {
  const fs::path script = work / "pixels.py";
  std::ofstream(script) << R"(import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert('RGB')
for ask in sys.argv[2:]:
    if ask.startswith('count:'):
        c = [int(v) for v in ask[6:].split(',')]
        n = sum(1 for p in im.getdata()
                if all(abs(p[i] - c[i]) <= 8 for i in range(3)))
        print(n)
    else:
        x, y = (int(v) for v in ask.split(','))
        print(*im.getpixel((x, y)))
)";
  std::string cmd =
      "/usr/bin/python3 '" + script.string() + "' '" + png.string() + "'";
  for (const std::string& a : asks) cmd += " " + a;
  const fs::path out = work / "pixels";
  std::system((cmd + " >'" + out.string() + "'").c_str());
  std::vector<std::vector<int>> result;
  std::istringstream in(text_of(out));
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    result.emplace_back();
    for (int v; words >> v;) result.back().push_back(v);
  }
  return result;
}

// Turns the controls to the dark background and the frame-buffer view,
// loads every picture at once, and reports where things are.
constexpr const char* kProbe = R"(<script>
for (const img of document.images) img.loading = 'eager';
for (const [id, v] of [['c-bg', 'dark'], ['c-view', 'fb']]) {
  const s = document.getElementById(id);
  s.value = v;
  s.dispatchEvent(new Event('change'));
}
window.addEventListener('load', () => {
  const lines = [];
  const box = e => { const r = e.getBoundingClientRect();
                     return [r.left, r.top + scrollY, r.width, r.height]; };
  const tiles = [...document.querySelectorAll('.tile')]
                    .filter(t => t.offsetParent !== null);
  lines.push('shown ' + tiles.length);
  lines.push('first_row ' + tiles.filter(
      t => t.offsetTop === tiles[0].offsetTop).length);
  lines.push('repeats_shown ' + [...document.querySelectorAll('.rep')]
      .filter(t => t.offsetParent !== null).length);
  const white = document.getElementById('t%WHITE%');
  lines.push('white_tile ' + box(white.querySelector('img')).join(' '));
  const rect = document.querySelector('.r[data-n="%WHITE%"]');
  lines.push('white_rect_at ' + rect.offsetLeft + ' ' + rect.offsetTop);
  lines.push('white_rect ' + box(rect).join(' '));
  const pre = document.createElement('pre');
  pre.id = 'probe';
  pre.textContent = lines.join('\n');
  document.body.append(pre);
});
</script>
)";

TEST(Gallery, LooksInABrowser) {
  if (!have("command -v chromium"))
    GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  if (!have("/usr/bin/python3 -c 'import PIL'"))
    GTEST_SKIP() << "python3-pil is not installed";
  // Six grey squares, a green one (#1) and its repeat (#9), and a texture
  // white on its left half and transparent on its right (#8), loading at
  // 512,256; the green one loads outside the frame buffer.
  const auto solid = [](uint16_t c) { return [c](int, int) { return c; }; };
  Bytes file = direct15(8, 8, 2000, 0, solid(0x03E0));
  const Bytes green = file;
  for (uint16_t i = 0; i < 6; ++i)
    file = concat({file, Bytes(3, 0xAA),
                   direct15(16, 16, static_cast<uint16_t>(64 * i), 0,
                            solid(static_cast<uint16_t>(0x0842 * (i + 4))))});
  file = concat({file, Bytes(3, 0xAA),
                 direct15(64, 32, 512, 256,
                          [](int x, int) { return x < 32 ? 0x7FFF : 0; }),
                 Bytes(3, 0xAA), green, Bytes(64, 0xAA)});
  Sandbox box;
  box.write("tex.bin", file);
  box.config(
      "infile=\"tex.bin\" outname=\"x\" writepng=\"1\" writeindex=\"1\" "
      "maxtims=\"100\"");
  ASSERT_NE(box.run().out.find(total(9)), std::string::npos);
  std::string page = text_of(box.path("xindex.html"));
  const fs::path work = box.dir().parent_path();

  // Scripts off: everything shows over the light checkerboard, the repeat
  // too, so the green squares (16 x 16 at 2x) cover twice 256 pixels.
  // (A copy whose policy forbids scripts: the browser's own switch stops
  // its screenshots too.)
  std::string inert = page;
  inert.insert(inert.find("<meta"),
               "<meta http-equiv=\"Content-Security-Policy\" "
               "content=\"script-src 'none'\">\n");
  box.write("inert.html", inert);
  const fs::path off = work / "off.png";
  chromium(work, box.path("inert.html"),
           "--window-size=1400,1600 --screenshot='" + off.string() + "'");
  const auto off_px = pixels(work, off, {"count:0,248,0"});
  ASSERT_EQ(off_px.size(), 1u);
  EXPECT_NEAR(off_px[0][0], 512, 16);

  std::string probe = kProbe;
  probe.replace(probe.find("%WHITE%"), 7, "8");
  probe.replace(probe.find("%WHITE%"), 7, "8");
  page.insert(page.rfind("</body>"), probe);
  box.write("probe.html", page);
  const fs::path on = work / "on.png";
  const auto got = probe_lines(chromium(
      work, box.path("probe.html"),
      "--window-size=1400,1600 --screenshot='" + on.string() + "' --dump-dom"));
  ASSERT_EQ(got.count("white_rect"), 1u);
  EXPECT_EQ(got.at("shown")[0], 8);  // the repeat folded
  EXPECT_EQ(got.at("repeats_shown")[0], 0);
  EXPECT_GT(got.at("first_row")[0], 1);
  // The frame buffer at 1x puts #8 at 512,256, 64 x 32 units.
  EXPECT_EQ(got.at("white_rect_at"), (std::vector<int>{512, 256}));
  const std::vector<int>& t = got.at("white_tile");
  const std::vector<int>& r = got.at("white_rect");
  EXPECT_EQ(r[2], 64);
  EXPECT_EQ(r[3], 32);
  const auto at = [](int x, int y) {
    return std::to_string(x) + "," + std::to_string(y);
  };
  const auto on_px =
      pixels(work, on,
             {"count:0,248,0", at(t[0] + t[2] / 4, t[1] + t[3] / 2),
              at(t[0] + t[2] * 3 / 4, t[1] + t[3] / 2),
              at(r[0] + 20, r[1] + 24), at(r[0] + 44, r[1] + 24)});
  ASSERT_EQ(on_px.size(), 5u);
  EXPECT_NEAR(on_px[0][0], 256, 16);  // one green square: the repeat folded
  // White texels stand out of the dark background in the tile and in the
  // frame buffer; transparent ones show the background.
  for (int i : {1, 3})
    for (int c : on_px[i]) EXPECT_GE(c, 240) << "probe " << i;
  for (int i : {2, 4})
    for (int c : on_px[i]) EXPECT_LE(c, 80) << "probe " << i;
}

// A disc whose files hold one TIM each: their group headings share rows.
TEST(Gallery, SmallGroupsShareRows) {
  if (!have("command -v chromium"))
    GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
  Sandbox box;
  box.write("d.iso", read_file(fs::path(VEXLO_TEST_DATA) /
                               "containers/tims_in_iso9660.iso"));
  box.config(
      "infile=\"d.iso\" outname=\"x\" writeindex=\"1\" cdimage=\"1\" "
      "writepng=\"1\" maxtims=\"100\"");
  box.run();
  std::string page = text_of(box.path("xindex.html"));
  page.insert(page.rfind("</body>"), R"(<script>
window.addEventListener('load', () => {
  const groups = [...document.querySelectorAll('.group')];
  const pre = document.createElement('pre');
  pre.id = 'probe';
  pre.textContent = 'groups ' + groups.length + '\nfirst_row ' +
      groups.filter(g => g.offsetTop === groups[0].offsetTop).length;
  document.body.append(pre);
});
</script>
)");
  box.write("probe.html", page);
  const auto got =
      probe_lines(chromium(box.dir().parent_path(), box.path("probe.html"),
                           "--window-size=1400,1000 --dump-dom"));
  ASSERT_EQ(got.count("groups"), 1u);
  EXPECT_GT(got.at("groups")[0], 3);
  EXPECT_GT(got.at("first_row")[0], 1);
}

}  // namespace
}  // namespace vexlo::test
