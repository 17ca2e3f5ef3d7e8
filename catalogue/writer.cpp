#include <cstdio>

#include "catalogue/catalogue.h"
#include "platform/append_file.h"
#include "platform/failures.h"
#include "platform/output_file.h"

namespace vexlo {

struct CatalogueState {
  std::string csv_name;
  std::string html_name;
  AppendFile csv;  // closed when it could not be created or written
  // The single input file, which no index may replace, even after its scan.
  bool have_input = false;
  FileId input;
  std::vector<CatalogueSection> sections;
  CatalogueTotals totals;
};

namespace {

bool replaces_input(const CatalogueState& c, const std::string& name) {
  FileId id;
  return c.have_input && file_id_of(name, &id) && id == c.input;
}

void csv_failed(CatalogueState& c) {
  std::printf("Could not write %s\n", c.csv_name.c_str());
  note_failure();
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
  if (!s.tree_search) c.have_input = file_id_of(s.infile, &c.input);

  FileId id;
  if (!guard.may_create(c.csv_name) || replaces_input(c, c.csv_name) ||
      !c.csv.open(c.csv_name, &id)) {
    std::printf("Could not write %s\n", c.csv_name.c_str());
    note_failure();
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
  if (replaces_input(c, c.html_name)) {
    std::printf("Could not write %s\n", c.html_name.c_str());
    note_failure();
  } else {
    write_output_file(
        guard, c.html_name,
        std::span(reinterpret_cast<const uint8_t*>(page.data()), page.size()));
  }
  if (c.csv.is_open() && !c.csv.close()) {
    std::printf("Could not write %s\n", c.csv_name.c_str());
    note_failure();
  }
  state.reset();
}

}  // namespace vexlo
