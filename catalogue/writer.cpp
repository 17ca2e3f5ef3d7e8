#include <cstdio>

#include "catalogue/catalogue.h"
#include "platform/append_file.h"
#include "platform/output_file.h"

namespace vexlo {

struct CatalogueState {
  std::string csv_name;
  std::string html_name;
  AppendFile csv;  // closed when it could not be created or written
  std::vector<CatalogueSection> sections;
  CatalogueTotals totals;
};

namespace {

void csv_failed(CatalogueState& c) {
  std::printf("Could not write %s\n", c.csv_name.c_str());
  c.csv.close();
}

}  // namespace

void catalogue_begin(std::shared_ptr<CatalogueState>& state, const Settings& s,
                     OutputGuard& guard) {
  if (!s.writeindex) return;
  state = std::make_shared<CatalogueState>();
  CatalogueState& c = *state;
  c.csv_name = s.outname + "index.csv";
  c.html_name = s.outname + "index.html";
  // The single input file, which no index may replace, even after its scan.
  FileId input;
  if (!s.tree_search && file_id_of(s.infile, &input)) guard.protect(input);

  FileId id;
  if (!guard.may_create(c.csv_name) || !c.csv.open(c.csv_name, &id)) {
    std::printf("Could not write %s\n", c.csv_name.c_str());
    return;
  }
  // A tree search must never scan the index it is writing.
  guard.add_written(id);
  if (!c.csv.append(csv_header())) csv_failed(c);
}

void catalogue_add(CatalogueState* state, const std::string& outname,
                   CatalogueEntry entry) {
  if (state == nullptr) return;
  CatalogueState& c = *state;
  for (std::string* name : {&entry.tim, &entry.bmp, &entry.png})
    *name = name_in_index_folder(outname, *name);
  if (c.csv.is_open() && !c.csv.append(csv_row(entry))) csv_failed(c);

  ++c.totals.reported;
  if (entry.counted) ++c.totals.counted;
  if (c.totals.reported > kGalleryMax) {
    ++c.totals.not_shown;
    return;
  }
  if (c.sections.empty() || c.sections.back().file != entry.file)
    c.sections.push_back({entry.file, {}});
  // The section holds the path once for all its TIMs.
  entry.file.clear();
  c.sections.back().entries.push_back(std::move(entry));
}

void catalogue_end(std::shared_ptr<CatalogueState>& state, const Settings& s,
                   OutputGuard& guard, int32_t files_scanned) {
  if (!state) return;
  CatalogueState& c = *state;
  c.totals.files_scanned = files_scanned;
  const std::string page = gallery_page(s, c.totals, c.sections);
  write_output_file(
      guard, c.html_name,
      std::span(reinterpret_cast<const uint8_t*>(page.data()), page.size()));
  if (c.csv.is_open() && !c.csv.close())
    std::printf("Could not write %s\n", c.csv_name.c_str());
  state.reset();
}

}  // namespace vexlo
