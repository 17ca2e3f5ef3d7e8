// The catalogue of a run (writeindex): <outname>index.csv, one row per
// reported TIM appended as the scan goes, and <outname>index.html, a
// self-contained gallery of them all written when the run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/output_file.h"
#include "settings/settings.h"
#include "tim/tim.h"

namespace vexlo {

// Every CSV column of one reported TIM.
struct CatalogueEntry {
  int32_t number = 0;   // the counter value its files got
  bool counted = true;  // false when its .tim copy could not be written
  std::string file;     // the input path as its "Reading" line shows it
  int32_t offset = 0;   // as reported
  // For raw disc images: the sector holding the TIM's first byte and the
  // position in that sector's data.
  std::optional<uint32_t> sector;
  std::optional<uint32_t> sector_offset;
  int32_t size = 0;  // as reported
  std::string mode;  // the mode name as reported
  int32_t bpp = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t palettes = 0;  // CLUT rows; 0 without a CLUT
  uint16_t image_x = 0;
  uint16_t image_y = 0;
  std::optional<uint16_t> clut_x;  // empty without a CLUT
  std::optional<uint16_t> clut_y;
  bool consistent = false;  // see blocks_consistent
  // Names of the files written for it, relative to the index's folder;
  // empty when not written.
  std::string tim;
  std::string bmp;
  std::string png;
  // In a disc image whose file system was read (cdimage): the disc file
  // holding the TIM's first byte and the TIM's offset in it; empty outside
  // every file.
  std::string disc_file;
  std::optional<uint32_t> disc_file_offset;
  // The number of the first counted TIM of the run with the same size and
  // hash; empty for a first.
  std::optional<int32_t> duplicate_of;
  // A TIM in packed data (unpack): the scheme's name and the TIM's offset in
  // the unpacked bytes; `offset`, `sector` and the disc file describe the
  // stream's first byte. Empty for a plain TIM.
  std::string packed;
  std::optional<uint32_t> packed_offset;
  // In a PBP: the number of the disc holding it (1 for a single disc).
  std::optional<int32_t> disc;
};

// The TIMs of one input file, in report order.
struct CatalogueSection {
  std::string file;
  std::vector<CatalogueEntry> entries;
};

struct CatalogueTotals {
  int32_t files_scanned = 0;
  int32_t reported = 0;
  int32_t counted = 0;
  int32_t not_shown = 0;  // reported TIMs past the page's limit
};

// The page shows at most this many tiles (a page of about 45 MB), so that
// the run's memory stays bounded whatever it finds; the CSV lists every TIM.
constexpr int32_t kGalleryMax = 100000;

// --- Pure text functions ---

// One CSV field: quoted, with quotes doubled, when it holds a comma, a
// quote, a CR or an LF; else as it is.
std::string csv_field(std::string_view value);
// The header line and one TIM's line, each ending in CRLF.
std::string csv_header();
std::string csv_row(const CatalogueEntry& e);

// Text for HTML content and attribute values: & < > " ' and CR escaped.
std::string html_escape(std::string_view text);
// A relative link: every byte but letters, digits and - . _ ~ as %XX, so
// that no name can read as a scheme, a query or a fragment.
std::string percent_encode(std::string_view name);

// `name` (which starts with `outname`) without the folder part of
// `outname`: the name as seen from the folder that holds the index.
std::string name_in_index_folder(std::string_view outname,
                                 const std::string& name);

// The keys that were on, by name, for the page's heading.
std::vector<std::string> keys_on(const Settings& s);

// The whole gallery page.
std::string gallery_page(const Settings& s, const CatalogueTotals& totals,
                         const std::vector<CatalogueSection>& sections);

// --- The writer; each does nothing unless writeindex is on ---

struct CatalogueState;

// Creates the CSV and writes its header into `c`; called once before the
// scan. A single input file is kept from every output of the run.
void catalogue_begin(std::shared_ptr<CatalogueState>& c, const Settings& s,
                     OutputGuard& guard);
// Appends one TIM's row and keeps the record for the page. Its file names
// are taken as written (starting with `outname`).
void catalogue_add(CatalogueState* c, const std::string& outname,
                   CatalogueEntry entry);
// Writes the page and closes the CSV; called once when the scan of
// `files_scanned` files is over.
void catalogue_end(std::shared_ptr<CatalogueState>& c, const Settings& s,
                   OutputGuard& guard, int32_t files_scanned);

}  // namespace vexlo
