#include "extract/images.h"

#include <cstdio>

#include "convert/bmp.h"
#include "convert/pixels.h"
#include "convert/png.h"
#include "platform/output_file.h"

namespace vexlo {

namespace {

// Names that numbyoffset must not reuse.
void remember(Run& run, const std::string& name) {
  if (run.settings.numbyoffset) run.bmp_names.insert(name);
}

// One line per refused TIM, naming the bitmap when bitmaps are on (the
// documented lines) and the PNG otherwise.
// Writes the PNG of `info` (passed check_pixels) and CLUT row `clut_row` to
// `name`, a piece at a time. On failure prints "Could not write <name>" and
// removes the partial file. True when the file was written.
bool write_png_file(OutputGuard& guard, const TimInfo& info, int32_t clut_row,
                    const std::string& name) {
  OutputStream out(guard, name);
  const bool ok = encode_png(
      info, clut_row, kPngLevel,
      [&out](std::span<const uint8_t> bytes) { return out.write(bytes); });
  return out.finish(ok);
}

void print_refusal(PixelStatus status, const char* kind) {
  switch (status) {
    case PixelStatus::kUnsupported:
      std::printf("Can't write %s - tim in unsupported format.\n", kind);
      break;
    case PixelStatus::kTruncated:
      std::printf(
          "Can't write %s - pixel data runs past the end of the file.\n", kind);
      break;
    case PixelStatus::kTooLarge:
      std::printf("Can't write %s - image too large.\n", kind);
      break;
    case PixelStatus::kOk:
      break;
  }
}

}  // namespace

std::string image_name(const Run& run, uint32_t offset, const char* ext,
                       std::optional<uint32_t> packed_offset) {
  const Settings& s = run.settings;
  char tail[64];
  if (!s.numbyoffset) {
    std::snprintf(tail, sizeof tail, "%i%s", run.tim_counter, ext);
    return s.outname + tail;
  }
  // "+" keeps a packed TIM's names apart from the "_n" of a collision.
  char place[40];
  if (packed_offset)
    std::snprintf(place, sizeof place, "_%010i+%u", static_cast<int>(offset),
                  *packed_offset);
  else
    std::snprintf(place, sizeof place, "_%010i", static_cast<int>(offset));
  std::string name = s.outname + place + ext;
  if (run.bmp_names.count(name) != 0) {
    std::snprintf(tail, sizeof tail, "_%i%s", run.tim_counter, ext);
    name = s.outname + place + tail;
  }
  return name;
}

std::string palette_name(const std::string& name, int32_t row) {
  if (row == 0) return name;
  // Image names always end in a four-character extension.
  const std::size_t dot = name.size() - 4;
  char tail[32];
  std::snprintf(tail, sizeof tail, "_pal%i", row);
  return name.substr(0, dot) + tail + name.substr(dot);
}

ImageFiles convert_tim(Run& run, const TimInfo& info, uint32_t offset,
                       std::optional<uint32_t> packed_offset) {
  const Settings& s = run.settings;
  ImageFiles files;
  if (!s.writebmp && !s.writepng) return files;
  const PixelStatus status = check_pixels(info);
  if (status != PixelStatus::kOk) {
    print_refusal(status, s.writebmp ? "bitmap" : "PNG");
    return files;
  }
  const int32_t rows = s.allcluts && clut_rows(info) > 1 ? clut_rows(info) : 1;
  // Every row's name follows from the first row's, chosen before any is
  // written.
  const std::string bmp =
      s.writebmp ? image_name(run, offset, ".bmp", packed_offset) : "";
  const std::string png =
      s.writepng ? image_name(run, offset, ".png", packed_offset) : "";
  bool bitmaps = s.writebmp;
  std::vector<uint8_t> bitmap;
  for (int32_t row = 0; row < rows; ++row) {
    if (s.writebmp) {
      std::string name;
      if (bitmaps && build_bmp(info, bitmap, row) != BmpStatus::kBuilt) {
        // Only memory can fail here: the other rows would fail alike.
        print_refusal(PixelStatus::kTooLarge, "bitmap");
        bitmaps = false;
      }
      if (bitmaps &&
          write_output_file(run.guard, palette_name(bmp, row), bitmap)) {
        name = palette_name(bmp, row);
        remember(run, name);
      }
      files.bmp.push_back(name);
    }
    if (s.writepng) {
      std::string name = palette_name(png, row);
      if (write_png_file(run.guard, info, row, name))
        remember(run, name);
      else
        name.clear();
      files.png.push_back(name);
    }
  }
  return files;
}

}  // namespace vexlo
