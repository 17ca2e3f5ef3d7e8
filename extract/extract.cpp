#include "extract/extract.h"

#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "convert/images.h"
#include "platform/output_file.h"

namespace vexlo {

namespace {

// Adds the TIM's row to the catalogue (writeindex); the names are the files
// written for it.
void index_tim(Run& run, uint32_t total, const TimInfo& info, bool counted,
               std::string tim, std::string bmp, std::string png = {}) {
  if (!run.settings.writeindex) return;
  CatalogueEntry entry = catalogue_entry(run, total, info);
  entry.counted = counted;
  entry.tim = std::move(tim);
  entry.bmp = std::move(bmp);
  entry.png = std::move(png);
  catalogue_add(run, std::move(entry));
}

}  // namespace

void print_report(uint32_t shown, const Examined& found) {
  const TimInfo& info = found.info;
  std::printf("TIM at byte %i, size of %i\n%ix%i, pixelmode: %s\n",
              static_cast<int>(shown), static_cast<int>(found.total),
              info.width, info.height, kModeNames[info.mode]);
  if (found.multi_clut)
    std::printf(
        "WARNING: CLUT is multi-layered, defaulting to first clut entry "
        "table (may not look correct over full image).\n");
}

bool hit_limit(const Run& run) {
  if (run.tim_counter <= run.settings.maxtims) return false;
  std::printf("Hit MAX_TIMS (%i)\n", run.settings.maxtims);
  return true;
}

void emit_tim(Run& run, std::span<const uint8_t> data, std::size_t off,
              uint32_t total, const TimInfo& info) {
  const Settings& s = run.settings;
  std::string tim_name;
  if (s.writetim) {
    char number[16];
    std::snprintf(number, sizeof number, "%i", run.tim_counter);
    const std::string name = s.outname + number + ".tim";
    // A copy that cannot be written leaves the TIM uncounted, so the next
    // TIM reuses the number.
    if (!write_output_file(run, name, data.subspan(off, total))) {
      index_tim(run, total, info, false, {}, {});
      return;
    }
    tim_name = name;
  }
  const ImageFiles images = convert_tim(run, info);
  // The catalogue names the first CLUT row's images.
  auto first = [](const std::vector<std::string>& names) {
    return names.empty() ? std::string() : names.front();
  };
  index_tim(run, total, info, true, std::move(tim_name), first(images.bmp),
            first(images.png));
  ++run.tim_counter;
}

}  // namespace vexlo
