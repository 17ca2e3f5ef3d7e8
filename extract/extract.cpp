#include "extract/extract.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "extract/images.h"
#include "extract/repeats.h"
#include "platform/output_file.h"

namespace vexlo {

namespace {

// Adds the TIM's row to the catalogue (writeindex); the names are the files
// written for it.
void index_tim(Run& run, const TimHit& hit, bool counted, int32_t first,
               std::string tim, std::string bmp, std::string png = {}) {
  if (!run.settings.writeindex) return;
  CatalogueEntry entry = catalogue_entry(hit, run.tim_counter);
  entry.counted = counted;
  if (first != 0) entry.duplicate_of = first;
  entry.tim = std::move(tim);
  entry.bmp = std::move(bmp);
  entry.png = std::move(png);
  catalogue_add(run.catalogue.get(), run.settings.outname, std::move(entry));
}

}  // namespace

void print_report(const TimHit& hit) {
  const Examined& found = hit.found;
  const TimInfo& info = found.info;
  const uint32_t shown = hit.place.offset;
  if (hit.packed.empty())
    std::printf("TIM at byte %i, size of %i\n", static_cast<int>(shown),
                static_cast<int>(found.total));
  else
    std::printf("TIM at byte %i in %.*s data at byte %i, size of %i\n",
                static_cast<int>(hit.packed_offset),
                static_cast<int>(hit.packed.size()), hit.packed.data(),
                static_cast<int>(shown), static_cast<int>(found.total));
  std::printf("%ix%i, pixelmode: %s\n", info.width, info.height,
              kModeNames[info.mode]);
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

void emit_tim(Run& run, const TimHit& hit) {
  const Settings& s = run.settings;
  // Only the catalogue and skipduplicates look at repeats: no hashing else.
  const bool repeats = s.writeindex || s.skipduplicates;
  TimKey key;
  int32_t first = 0;  // the number of the first counted TIM like this one
  if (repeats) {
    if (!run.repeats) run.repeats = std::make_shared<RepeatTable>();
    key = tim_key(hit.bytes);
    first = run.repeats->find(key);
  }
  if (first != 0 && s.skipduplicates) {
    std::printf("Same as TIM %i, not written.\n", first);
    index_tim(run, hit, false, first, {}, {});
    return;
  }
  std::string tim_name;
  if (s.writetim) {
    char number[16];
    std::snprintf(number, sizeof number, "%i", run.tim_counter);
    const std::string name = s.outname + number + ".tim";
    // A copy that cannot be written leaves the TIM uncounted, so the next
    // TIM reuses the number.
    if (!write_output_file(run.guard, name, hit.bytes)) {
      index_tim(run, hit, false, first, {}, {});
      return;
    }
    tim_name = name;
  }
  const ImageFiles images = convert_tim(
      run, hit.found.info, hit.place.offset,
      hit.packed.empty() ? std::nullopt
                         : std::optional<uint32_t>(hit.packed_offset));
  // The catalogue names the first CLUT row's images.
  auto first_name = [](const std::vector<std::string>& names) {
    return names.empty() ? std::string() : names.front();
  };
  index_tim(run, hit, true, first, std::move(tim_name), first_name(images.bmp),
            first_name(images.png));
  if (repeats && first == 0) {
    try {
      run.repeats->add(key, run.tim_counter);
    } catch (const std::bad_alloc&) {
      // Without room the TIM is not remembered: its repeats count as firsts.
    }
  }
  ++run.tim_counter;
}

CatalogueEntry catalogue_entry(const TimHit& hit, int32_t number) {
  const TimInfo& info = hit.found.info;
  CatalogueEntry e;
  e.number = number;
  e.file = hit.file;
  if (hit.disc > 0) e.disc = hit.disc;
  e.offset = static_cast<int32_t>(hit.place.offset);
  if (hit.place.sector) {
    e.sector = *hit.place.sector;
    e.sector_offset = hit.place.sector_offset;
  }
  // The same cast as the report line, so both show the same number.
  e.size = static_cast<int32_t>(hit.found.total);
  e.mode = kModeNames[info.mode];
  e.bpp = info.bits_per_pixel;
  e.width = info.width;
  e.height = info.height;
  const std::span<const uint8_t> image = info.image_block;
  if (image.size() >= kBlockHeaderSize) {
    e.image_x = read_u16le(image.data() + 4);
    e.image_y = read_u16le(image.data() + 6);
  }
  const std::span<const uint8_t> clut = info.clut_block;
  if (clut.size() >= kBlockHeaderSize) {
    e.palettes = static_cast<uint32_t>(clut_rows(info));
    e.clut_x = read_u16le(clut.data() + 4);
    e.clut_y = read_u16le(clut.data() + 6);
  }
  e.consistent = blocks_consistent(info);
  e.disc_file = hit.disc_file;
  e.disc_file_offset = hit.disc_file_offset;
  if (!hit.packed.empty()) {
    e.packed = hit.packed;
    e.packed_offset = hit.packed_offset;
  }
  return e;
}

}  // namespace vexlo
