#include "tests/png_check.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vexlo::test {

namespace {

uint32_t u16(const Bytes& b, std::size_t at) { return b[at] | b[at + 1] << 8; }

uint32_t be32(const Bytes& b, std::size_t at) {
  return uint32_t{b[at]} << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

void put_colour(Bytes& out, uint32_t v, bool bitmap) {
  for (uint32_t c : {v & 31, (v >> 5) & 31, (v >> 10) & 31})
    out.push_back(static_cast<uint8_t>(bitmap ? c << 3 : c << 3 | c >> 2));
  if (!bitmap)
    out.push_back(v == 0 ? 0 : v == 0x8000 ? 255 : (v & 0x8000) ? 254 : 255);
}

bool run(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

}  // namespace

std::string png_tools_missing() {
  if (!run("command -v pngcheck >/dev/null 2>&1"))
    return "pngcheck is not installed";
  if (!run("/usr/bin/convert -version 2>/dev/null | grep -q ImageMagick"))
    return "ImageMagick is not installed";
  return "";
}

bool pngcheck_ok(const std::filesystem::path& file) {
  return run("pngcheck -q '" + file.string() + "'");
}

Bytes magick_pixels(const std::filesystem::path& file, bool rgb) {
  const std::string out = file.string() + ".raw";
  if (!run("/usr/bin/convert '" + file.string() + "' " +
           (rgb ? "rgb:'" : "rgba:'") + out + "' 2>/dev/null"))
    return {};
  std::ifstream f(out, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(f)),
          std::istreambuf_iterator<char>());
  std::filesystem::remove(out);
  return b;
}

PngInfo read_png_info(const Bytes& png) {
  PngInfo info;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const uint32_t len = be32(png, at);
    if (png.size() - at - 12 < len) break;
    const std::string type(png.begin() + at + 4, png.begin() + at + 8);
    const auto data = png.begin() + at + 8;
    if (type == "IHDR") info.depth = data[8], info.colour_type = data[9];
    if (type == "PLTE") info.plte.assign(data, data + len);
    if (type == "tRNS") info.trns.assign(data, data + len);
    at += 12 + len;
  }
  return info;
}

Bytes expected_pixels(const Bytes& tim, int row, bool bitmap, uint32_t width,
                      Bytes* plte, Bytes* trns) {
  const uint32_t mode = tim[4] & 7, n = mode ? 256 : 16;
  const std::size_t pos =
      8 + ((tim[4] & 8) ? u16(tim, 8) | u16(tim, 10) << 16 : 0);
  const std::size_t entry0 = 20 + 2 * std::size_t(row) * n, px = pos + 12;
  const uint32_t w16 = u16(tim, pos + 8), h = u16(tim, pos + 10);
  const uint32_t w = width       ? width
                     : mode == 0 ? w16 * 4
                     : mode == 1 ? w16 * 2
                     : mode == 2 ? w16
                                 : w16 * 2 / 3;
  if (plte != nullptr && mode <= 1) {
    plte->clear();
    trns->clear();
    for (uint32_t k = 0; k < n; ++k) {
      Bytes c;
      put_colour(c, u16(tim, entry0 + 2 * k), false);
      plte->insert(plte->end(), c.begin(), c.begin() + 3);
      trns->push_back(c[3]);
    }
  }
  Bytes out;
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
    if (mode == 0)  // the left pixel is the low nibble
      put_colour(out,
                 u16(tim, entry0 + 2 * ((tim[px + i / 2] >> 4 * (i & 1)) & 15)),
                 bitmap);
    else if (mode == 1)
      put_colour(out, u16(tim, entry0 + 2 * tim[px + i]), bitmap);
    else if (mode == 2)
      put_colour(out, u16(tim, px + 2 * i), bitmap);
    else
      out.insert(out.end(), &tim[px + 3 * i], &tim[px + 3 * i + 3]);
    if (mode == 3 && !bitmap) out.push_back(255);
  }
  return out;
}

}  // namespace vexlo::test
