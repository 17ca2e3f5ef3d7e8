#include "convert/picture.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "convert/png.h"
#include "tim/tim.h"

namespace vexlo {

namespace {

uint32_t u32be(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
         (uint32_t{p[2]} << 8) | p[3];
}

std::string size_mismatch(uint64_t w, uint64_t h, uint32_t want_w,
                          uint32_t want_h) {
  return "is " + std::to_string(w) + "x" + std::to_string(h) + ", the TIM is " +
         std::to_string(want_w) + "x" + std::to_string(want_h);
}

std::string not_png(const char* why) {
  return std::string("is not a PNG this program reads (") + why + ")";
}
std::string not_bmp(const char* why) {
  return std::string("is not a BMP this program reads (") + why + ")";
}

struct Pass {
  uint32_t x0, y0, dx, dy;
};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8},
                            {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2},
                            {0, 1, 1, 2}};
constexpr Pass kWhole = {0, 0, 1, 1};

uint32_t pass_extent(uint32_t size, uint32_t first, uint32_t step) {
  return size > first ? (size - first + step - 1) / step : 0;
}

uint8_t paeth(uint8_t a, uint8_t b, uint8_t c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

// Undoes one row's filter in place; `prev` is the row above (zeros for a
// pass's first row).
bool unfilter(uint8_t type, uint8_t* row, const uint8_t* prev, std::size_t n,
              std::size_t bpp) {
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t a = i >= bpp ? row[i - bpp] : 0;
    const uint8_t b = prev[i];
    const uint8_t c = i >= bpp ? prev[i - bpp] : 0;
    switch (type) {
      case 0:
        return true;
      case 1:
        row[i] = static_cast<uint8_t>(row[i] + a);
        break;
      case 2:
        row[i] = static_cast<uint8_t>(row[i] + b);
        break;
      case 3:
        row[i] = static_cast<uint8_t>(row[i] + ((a + b) >> 1));
        break;
      case 4:
        row[i] = static_cast<uint8_t>(row[i] + paeth(a, b, c));
        break;
      default:
        return false;
    }
  }
  return true;
}

struct PngHeader {
  uint32_t width = 0, height = 0;
  uint8_t depth = 0, type = 0, interlace = 0;
  uint32_t channels() const {
    return type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
  }
};

// The sample kinds this reader takes; else why not.
const char* unsupported(const PngHeader& h) {
  if (h.depth == 16) return "16-bit samples";
  const bool low = h.depth == 1 || h.depth == 2 || h.depth == 4;
  switch (h.type) {
    case 0:
    case 3:
      if (low || h.depth == 8) return nullptr;
      break;
    case 2:
    case 4:
    case 6:
      if (h.depth == 8) return nullptr;
      break;
    default:
      return "unknown colour type";
  }
  return "unknown bit depth";
}

std::string read_png(std::span<const uint8_t> file, uint32_t want_w,
                     uint32_t want_h, Picture& out) {
  PngHeader h;
  bool have_header = false, have_end = false;
  std::vector<uint8_t> plte, trns, idat;
  std::size_t at = sizeof kPngSignature;
  while (!have_end) {
    if (file.size() - at < 12) return not_png("truncated");
    const uint32_t len = u32be(file.data() + at);
    if (len > file.size() - at - 12) return not_png("truncated");
    const uint8_t* type = file.data() + at + 4;
    const uint8_t* data = type + 4;
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), type, len + 4);
    if (u32be(data + len) != static_cast<uint32_t>(crc))
      return not_png("bad CRC");
    at += 12 + std::size_t{len};
    const std::string_view name(reinterpret_cast<const char*>(type), 4);
    if (!have_header) {
      if (name != "IHDR" || len != 13) return not_png("no header");
      have_header = true;
      h.width = u32be(data);
      h.height = u32be(data + 4);
      h.depth = data[8];
      h.type = data[9];
      h.interlace = data[12];
      if (const char* why = unsupported(h)) return not_png(why);
      if (data[10] != 0 || data[11] != 0 || h.interlace > 1)
        return not_png("unknown compression, filter or interlace");
      if (h.width != want_w || h.height != want_h)
        return size_mismatch(h.width, h.height, want_w, want_h);
    } else if (name == "PLTE") {
      if (len % 3 != 0 || len > 768 || len == 0)
        return not_png("broken palette");
      plte.assign(data, data + len);
    } else if (name == "tRNS") {
      trns.assign(data, data + len);
    } else if (name == "IDAT") {
      idat.insert(idat.end(), data, data + len);
    } else if (name == "IEND") {
      have_end = true;
    } else if ((type[0] & 0x20) == 0) {
      return not_png("unknown critical chunk");
    }
  }
  if (h.type == 3 && plte.empty()) return not_png("no palette");
  if ((h.type == 3 && trns.size() > plte.size() / 3) ||
      (h.type == 0 && !trns.empty() && trns.size() != 2) ||
      (h.type == 2 && !trns.empty() && trns.size() != 6) ||
      ((h.type == 4 || h.type == 6) && !trns.empty()))
    return not_png("broken transparency");

  const uint32_t bits = h.channels() * h.depth;
  const std::size_t filter_bpp = std::max<uint32_t>(1, bits / 8);
  const std::span<const Pass> passes =
      h.interlace ? std::span<const Pass>(kAdam7) : std::span(&kWhole, 1);
  // Exact size of the filtered rows of every pass: the inflate bound. At
  // most 65535 x 65535 pixels of 32 bits, so no overflow in 64 bits.
  uint64_t raw_size = 0;
  for (const Pass& p : passes) {
    const uint64_t pw = pass_extent(h.width, p.x0, p.dx);
    const uint64_t ph = pass_extent(h.height, p.y0, p.dy);
    if (pw != 0) raw_size += ph * (1 + (pw * bits + 7) / 8);
  }
  if (raw_size > UINT32_MAX || idat.size() > UINT32_MAX)
    return not_png("too large");
  std::vector<uint8_t> raw(static_cast<std::size_t>(raw_size));
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return not_png("out of memory");
  zs.next_in = idat.data();
  zs.avail_in = static_cast<uInt>(idat.size());
  zs.next_out = raw.data();
  zs.avail_out = static_cast<uInt>(raw.size());
  const int rc = inflate(&zs, Z_FINISH);
  const uLong got = zs.total_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END || got != raw.size())
    return not_png("broken image data");

  out.width = h.width;
  out.height = h.height;
  out.indexed = h.type == 3;
  out.palette.clear();
  for (std::size_t k = 0; k * 3 < plte.size(); ++k)
    out.palette.push_back({plte[3 * k], plte[3 * k + 1], plte[3 * k + 2],
                           k < trns.size() ? trns[k] : uint8_t{255}});
  const std::size_t pixels = std::size_t{h.width} * h.height;
  out.pixels.assign(pixels, Rgba{});
  out.index.assign(out.indexed ? pixels : 0, 0);

  const uint32_t max_sample = (1u << h.depth) - 1;
  auto sample = [&](const uint8_t* row, uint64_t n) -> uint32_t {
    if (h.depth == 8) return row[n];
    const uint64_t bit = n * h.depth;
    return (row[bit / 8] >> (8 - h.depth - bit % 8)) & max_sample;
  };
  auto grey = [&](uint32_t v) {
    return static_cast<uint8_t>(v * 255 / max_sample);
  };
  auto key = [&](std::size_t i) -> uint32_t {
    return (uint32_t{trns[2 * i]} << 8) | trns[2 * i + 1];
  };

  uint8_t* row = raw.data();
  std::vector<uint8_t> zero;
  for (const Pass& p : passes) {
    const uint32_t pw = pass_extent(h.width, p.x0, p.dx);
    const uint32_t ph = pass_extent(h.height, p.y0, p.dy);
    if (pw == 0) continue;
    const std::size_t n = (uint64_t{pw} * bits + 7) / 8;
    zero.assign(n, 0);
    const uint8_t* prev = zero.data();
    for (uint32_t y = 0; y < ph; ++y) {
      uint8_t* line = row + 1;
      if (!unfilter(row[0], line, prev, n, filter_bpp))
        return not_png("unknown filter");
      for (uint32_t x = 0; x < pw; ++x) {
        const std::size_t i =
            std::size_t{p.y0 + y * p.dy} * h.width + p.x0 + x * p.dx;
        Rgba& c = out.pixels[i];
        const uint64_t s = uint64_t{x} * h.channels();
        switch (h.type) {
          case 3: {
            const uint32_t k = sample(line, s);
            if (k >= out.palette.size())
              return not_png("palette index past its palette");
            out.index[i] = static_cast<uint8_t>(k);
            c = out.palette[k];
            break;
          }
          case 0: {
            const uint32_t v = sample(line, s);
            c = {grey(v), grey(v), grey(v), 255};
            if (!trns.empty() && v == key(0)) c.a = 0;
            break;
          }
          case 4:
            c = {line[s], line[s], line[s], line[s + 1]};
            break;
          case 2:
            c = {line[s], line[s + 1], line[s + 2], 255};
            if (!trns.empty() && line[s] == key(0) && line[s + 1] == key(1) &&
                line[s + 2] == key(2))
              c.a = 0;
            break;
          default:
            c = {line[s], line[s + 1], line[s + 2], line[s + 3]};
            break;
        }
      }
      prev = line;
      row += 1 + n;
    }
  }
  return {};
}

std::string read_bmp(std::span<const uint8_t> file, uint32_t want_w,
                     uint32_t want_h, Picture& out) {
  if (file.size() < 54) return not_bmp("truncated");
  const uint8_t* p = file.data();
  const uint32_t data_at = read_u32le(p + 10);
  const uint32_t header = read_u32le(p + 14);
  const int32_t w = static_cast<int32_t>(read_u32le(p + 18));
  const int32_t hs = static_cast<int32_t>(read_u32le(p + 22));
  const uint32_t bpp = p[28] | (p[29] << 8);
  const uint32_t compression = read_u32le(p + 30);
  if (header < 40) return not_bmp("old header");
  if (bpp != 24 && bpp != 32) return not_bmp("not 24 or 32 bits per pixel");
  if (compression == 3 && bpp == 32) {
    // Bit fields are taken only in the usual order of a 32-bit bitmap.
    if (file.size() < 66 || read_u32le(p + 54) != 0x00FF0000 ||
        read_u32le(p + 58) != 0x0000FF00 || read_u32le(p + 62) != 0x000000FF)
      return not_bmp("unusual bit fields");
  } else if (compression != 0) {
    return not_bmp("compressed");
  }
  const bool top_down = hs < 0;
  const uint64_t height = top_down ? uint64_t{0} - static_cast<int64_t>(hs)
                                   : static_cast<uint64_t>(hs);
  if (w <= 0 || height == 0) return not_bmp("no pixels");
  if (static_cast<uint64_t>(w) != want_w || height != want_h)
    return size_mismatch(static_cast<uint64_t>(w), height, want_w, want_h);
  const uint64_t stride = (uint64_t{want_w} * bpp + 31) / 32 * 4;
  if (data_at > file.size() || (file.size() - data_at) / stride < want_h)
    return not_bmp("truncated");
  out.width = want_w;
  out.height = want_h;
  out.indexed = false;
  out.palette.clear();
  out.index.clear();
  out.pixels.assign(std::size_t{want_w} * want_h, Rgba{});
  const std::size_t step = bpp / 8;
  for (uint32_t y = 0; y < want_h; ++y) {
    const uint32_t line = top_down ? y : want_h - 1 - y;
    const uint8_t* src = p + data_at + line * stride;
    Rgba* dst = out.pixels.data() + std::size_t{y} * want_w;
    for (uint32_t x = 0; x < want_w; ++x, src += step)
      dst[x] = {src[2], src[1], src[0], 255};
  }
  return {};
}

}  // namespace

std::string read_picture(std::span<const uint8_t> file, uint32_t width,
                         uint32_t height, Picture& out) {
  try {
    if (file.size() >= sizeof kPngSignature &&
        std::memcmp(file.data(), kPngSignature, sizeof kPngSignature) == 0)
      return read_png(file, width, height, out);
    if (file.size() >= 2 && file[0] == 'B' && file[1] == 'M')
      return read_bmp(file, width, height, out);
    return "is not a PNG or BMP picture";
  } catch (const std::bad_alloc&) {
    return "is too large to read";
  }
}

}  // namespace vexlo
