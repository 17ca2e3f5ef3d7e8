#include "tests/png_check.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace vexlo::test {

namespace fs = std::filesystem;

namespace {

uint32_t u16(const Bytes& b, std::size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t u32(const Bytes& b, std::size_t at) {
  return u16(b, at) | u16(b, at + 2) << 16;
}
uint32_t be32(const Bytes& b, std::size_t at) {
  return uint32_t{b[at]} << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3];
}

std::string output_of(const std::string& cmd) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return "cannot run: " + cmd;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
    out.append(buf, n);
  const int status = ::pclose(p);
  return status == 0 ? "" : out.empty() ? "failed: " + cmd : out;
}

// The rules for a 16-bit colour value, written out from the README.
void put_colour(Bytes& out, uint32_t v, bool bitmap) {
  const uint32_t c[3] = {v & 31, (v >> 5) & 31, (v >> 10) & 31};
  for (uint32_t x : c)
    out.push_back(static_cast<uint8_t>(bitmap ? x << 3 : x << 3 | x >> 2));
  if (!bitmap)
    out.push_back(v == 0 ? 0 : v == 0x8000 ? 255 : (v & 0x8000) ? 254 : 255);
}

}  // namespace

std::string png_tools_missing() {
  if (std::system("command -v pngcheck >/dev/null 2>&1") != 0)
    return "pngcheck is not installed";
  if (std::system("/usr/bin/convert -version 2>/dev/null | grep -q "
                  "ImageMagick") != 0)
    return "ImageMagick is not installed";
  return "";
}

std::string pngcheck(const fs::path& file) {
  return output_of("pngcheck -q '" + file.string() + "' 2>&1");
}

Bytes magick_pixels(const fs::path& file, bool rgb) {
  const fs::path out = file.string() + (rgb ? ".rgb" : ".rgba");
  const std::string cmd = "/usr/bin/convert '" + file.string() + "' '" +
                          (rgb ? "rgb:" : "rgba:") + out.string() +
                          "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return {};
  std::ifstream f(out, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(f)),
          std::istreambuf_iterator<char>());
  fs::remove(out);
  return b;
}

PngInfo read_png_info(const Bytes& png) {
  PngInfo info;
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const uint32_t len = be32(png, at);
    if (png.size() - at - 12 < len) break;
    const std::string type(png.begin() + at + 4, png.begin() + at + 8);
    const Bytes data(png.begin() + at + 8, png.begin() + at + 8 + len);
    if (type == "IHDR" && len == 13) {
      info.width = be32(data, 0);
      info.height = be32(data, 4);
      info.depth = data[8];
      info.colour_type = data[9];
    } else if (type == "PLTE") {
      info.plte = data;
    } else if (type == "tRNS") {
      info.trns = data;
    }
    at += 12 + len;
  }
  return info;
}

Bytes expected_pixels(const Bytes& tim, int row, bool bitmap, uint32_t width) {
  const uint32_t mode = tim[4] & 7;
  std::size_t pos = 8, clut = 0;
  if (tim[4] & 8) {
    clut = 20;
    pos += u32(tim, 8);
  }
  const uint32_t w16 = u16(tim, pos + 8), h = u16(tim, pos + 10);
  const uint32_t w = width       ? width
                     : mode == 0 ? w16 * 4
                     : mode == 1 ? w16 * 2
                     : mode == 2 ? w16
                                 : w16 * 2 / 3;
  const std::size_t px = pos + 12;
  const std::size_t entry0 = clut + 2 * std::size_t(row) * (mode ? 256 : 16);
  Bytes out;
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
    switch (mode) {
      case 0:
        put_colour(
            out, u16(tim, entry0 + 2 * ((tim[px + i / 2] >> 4 * (i & 1)) & 15)),
            bitmap);
        break;
      case 1:
        put_colour(out, u16(tim, entry0 + 2 * tim[px + i]), bitmap);
        break;
      case 2:
        put_colour(out, u16(tim, px + 2 * i), bitmap);
        break;
      default:
        out.insert(out.end(), &tim[px + 3 * i], &tim[px + 3 * i + 3]);
        if (!bitmap) out.push_back(255);
    }
  }
  return out;
}

void expected_palette(const Bytes& tim, int row, Bytes* plte, Bytes* trns) {
  const int n = (tim[4] & 7) == 0 ? 16 : 256;
  plte->clear();
  trns->clear();
  for (int k = 0; k < n; ++k) {
    Bytes c;
    put_colour(c, u16(tim, 20 + 2 * (std::size_t(row) * n + k)), false);
    plte->insert(plte->end(), c.begin(), c.begin() + 3);
    trns->push_back(c[3]);
  }
}

}  // namespace vexlo::test
