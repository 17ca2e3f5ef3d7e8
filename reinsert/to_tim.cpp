#include "reinsert/to_tim.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tim/tim.h"

namespace vexlo {

namespace {

std::string at_text(uint32_t x, uint32_t y) {
  return std::to_string(x) + "," + std::to_string(y);
}

std::string colour_text(Rgba c) {
  // Not built with operator+, which GCC 12 warns about here.
  char text[32];
  std::snprintf(text, sizeof text, "(%d,%d,%d,%d)", c.r, c.g, c.b, c.a);
  return text;
}

std::optional<Examined> examine_whole(std::span<const uint8_t> tim) {
  if (tim.empty()) return std::nullopt;
  return examine_offset(tim, 0, ExamineOptions{.looseflags = true});
}

}  // namespace

uint16_t colour_value(Rgba c) {
  if (c.a < 128) return 0;
  const uint16_t v = static_cast<uint16_t>((c.r >> 3) | ((c.g >> 3) << 5) |
                                           ((c.b >> 3) << 10));
  if (c.a == 254) return v | 0x8000;
  return v == 0 ? 0x8000 : v;
}

std::string apply_picture(std::vector<uint8_t>& tim, const Picture& pic,
                          int32_t row, Target target, bool keep_indices,
                          const std::string& name, Edit* edit) {
  if (edit) *edit = Edit::kPixels;
  const std::optional<Examined> found = examine_whole(tim);
  if (!found || check_pixels(found->info) != PixelStatus::kOk)
    return "the TIM's pixels cannot be read";
  const TimInfo& info = found->info;
  const uint32_t w = static_cast<uint32_t>(info.width);
  const uint32_t h = static_cast<uint32_t>(info.height);
  if (pic.width != w || pic.height != h ||
      pic.pixels.size() != std::size_t{w} * h)
    return name + " is not the TIM's size";
  const int32_t bpp = info.bits_per_pixel;
  uint8_t* pixels =
      tim.data() + (info.image_block.data() - tim.data()) + kBlockHeaderSize;

  if (bpp > 8) {
    if (keep_indices) return {};
    for (std::size_t i = 0; i < pic.pixels.size(); ++i) {
      const Rgba c = pic.pixels[i];
      if (bpp == 24) {
        uint8_t* p = pixels + 3 * i;
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
      } else if (c != console_colour(read_u16le(pixels + 2 * i), target)) {
        write_u16le(pixels + 2 * i, colour_value(c));
      }
    }
    return {};
  }

  const int entries = bpp == 4 ? 16 : 256;
  const std::array<Rgba, 256> old = PixelReader(info, row, target).palette();
  auto index_at = [&](std::size_t i) -> uint8_t {
    if (bpp == 8) return pixels[i];
    return (i & 1) ? pixels[i / 2] >> 4 : pixels[i / 2] & 15;
  };
  auto set_index = [&](std::size_t i, uint8_t k) {
    if (bpp == 8) {
      pixels[i] = k;
    } else if (i & 1) {
      pixels[i / 2] = static_cast<uint8_t>((pixels[i / 2] & 0x0F) | (k << 4));
    } else {
      pixels[i / 2] = static_cast<uint8_t>((pixels[i / 2] & 0xF0) | k);
    }
  };
  auto pixel_at = [&](std::size_t i) {
    return at_text(static_cast<uint32_t>(i % w), static_cast<uint32_t>(i / w));
  };

  if (!keep_indices) {
    // Colour first: editors re-save an indexed picture with its palette
    // reordered and cut to the colours used, so a picture whose changed
    // pixels all show colours of the row is a pixel edit, whatever its
    // palette; the CLUT, which other TIMs may share, stays.
    std::size_t missing = pic.pixels.size();
    for (std::size_t i = 0; i < pic.pixels.size(); ++i) {
      const Rgba c = pic.pixels[i];
      if (c != old[index_at(i)] && std::find(old.begin(), old.begin() + entries,
                                             c) == old.begin() + entries) {
        missing = i;
        break;
      }
    }
    if (missing == pic.pixels.size()) {
      for (std::size_t i = 0; i < pic.pixels.size(); ++i) {
        const Rgba c = pic.pixels[i];
        if (c == old[index_at(i)]) continue;
        set_index(i, static_cast<uint8_t>(
                         std::find(old.begin(), old.begin() + entries, c) -
                         old.begin()));
      }
      if (edit) *edit = Edit::kPixels;
      return {};
    }
    // Else a palette edit: an indexed PNG of the row's whole palette, or an
    // image of one of the other rows. Anything else shows a colour the row
    // does not hold.
    const bool whole_palette = pic.indexed && target == Target::kPng &&
                               pic.palette.size() == std::size_t(entries);
    if (!whole_palette && row == 0)
      return "colour " + colour_text(pic.pixels[missing]) + " at " +
             pixel_at(missing) + " of " + name + " is not in the TIM's palette";
    if (edit) *edit = Edit::kPalette;
  }

  // An indexed PNG may change its CLUT row's entries (as far as its PLTE
  // reaches).
  const bool has_row = row < clut_rows(info);
  if (pic.indexed && target == Target::kPng && has_row) {
    uint8_t* clut = tim.data() + kTimHeaderSize + kBlockHeaderSize +
                    2 * std::size_t(row) * entries;
    const std::size_t n = std::min<std::size_t>(pic.palette.size(), entries);
    for (std::size_t k = 0; k < n; ++k)
      if (pic.palette[k] != old[k])
        write_u16le(clut + 2 * k, colour_value(pic.palette[k]));
  }
  const std::array<Rgba, 256> now = PixelReader(info, row, target).palette();

  for (std::size_t i = 0; i < pic.pixels.size(); ++i) {
    const uint32_t x = static_cast<uint32_t>(i % w);
    const uint32_t y = static_cast<uint32_t>(i / w);
    const Rgba c = pic.pixels[i];
    const uint8_t current = index_at(i);
    if (keep_indices) {
      if (pic.indexed ? pic.index[i] != current : c != now[current])
        return "the pixels of " + name + " differ from the TIM's at " +
               at_text(x, y);
      continue;
    }
    if (c == old[current]) continue;
    if (pic.indexed && target == Target::kPng) {
      if (pic.index[i] >= entries)
        return "index " + std::to_string(pic.index[i]) + " at " +
               at_text(x, y) + " of " + name + " is past the TIM's palette";
      set_index(i, pic.index[i]);
      continue;
    }
    const auto hit = std::find(now.begin(), now.begin() + entries, c);
    if (hit == now.begin() + entries)
      return "colour " + colour_text(c) + " at " + at_text(x, y) + " of " +
             name + " is not in the TIM's palette";
    set_index(i, static_cast<uint8_t>(hit - now.begin()));
  }
  return {};
}

std::string apply_tim_file(std::vector<uint8_t>& tim, uint32_t total,
                           std::span<const uint8_t> source,
                           const std::string& name) {
  const std::optional<Examined> found = examine_whole(tim);
  if (!found || total > tim.size()) return "the TIM cannot be read";
  if (source.size() != total)
    return name + " is " + std::to_string(source.size()) +
           " bytes, the TIM is " + std::to_string(total);
  const std::size_t image_at = found->info.image_block.data() - tim.data();
  if (image_at + kBlockHeaderSize > total) return "the TIM cannot be read";
  // The header and both block headers must be the TIM's own.
  const bool same =
      std::equal(tim.begin(), tim.begin() + kTimHeaderSize, source.begin()) &&
      std::equal(tim.begin() + image_at,
                 tim.begin() + image_at + kBlockHeaderSize,
                 source.begin() + image_at) &&
      (image_at == kTimHeaderSize ||
       std::equal(tim.begin() + kTimHeaderSize,
                  tim.begin() + kTimHeaderSize + kBlockHeaderSize,
                  source.begin() + kTimHeaderSize));
  if (!same) return name + " does not have the TIM's headers";
  std::copy(source.begin(), source.end(), tim.begin());
  return {};
}

}  // namespace vexlo
