// The gallery page: plain HTML and CSS, no scripts, so that a page of ten
// thousand tiles opens like any static document; images load lazily.
#include <algorithm>
#include <cstdio>

#include "catalogue/catalogue.h"

namespace vexlo {

namespace {

// Tiles show pictures in a square of this many CSS pixels.
constexpr int kBox = 128;

constexpr const char* kStyle =
    "body{font:14px/1.4 system-ui,sans-serif;margin:16px;background:#eee;"
    "color:#222}\n"
    "h1{font-size:20px;margin:0 0 8px}\n"
    "dl{display:grid;grid-template-columns:max-content auto;gap:2px 12px;"
    "margin:0 0 16px}\n"
    "dt{font-weight:600}dd{margin:0;overflow-wrap:anywhere}\n"
    "h2{font:600 14px monospace;background:#ccd;padding:4px 8px;"
    "overflow-wrap:anywhere;white-space:pre-wrap}\n"
    ".grid{display:grid;grid-template-columns:repeat(auto-fill,176px);"
    "gap:8px;margin-bottom:24px}\n"
    ".tile{background:#fff;border:1px solid #bbb;padding:6px;font-size:12px;"
    "overflow-wrap:anywhere}\n"
    ".tile.bad{border:2px solid #c00}\n"
    ".pic{display:flex;align-items:center;justify-content:center;"
    "height:128px}\n"
    // Nearest-neighbour scaling keeps texels square; the checkerboard shows
    // through transparent pixels.
    ".pic img{image-rendering:crisp-edges;image-rendering:pixelated;"
    "background:repeating-conic-gradient(#bbb 0 25%,#fff 0 50%) 0 0/16px "
    "16px}\n"
    ".tile p{margin:4px 0 0}\n"
    ".mark{color:#fff;background:#c00;padding:0 4px;font-weight:600}\n";

// The size to show a W x H picture at in the box: small ones enlarged by a
// whole factor, so every texel keeps the same size; large ones shrunk to fit.
std::pair<int, int> shown_size(int w, int h) {
  const int longest = std::max(std::max(w, h), 1);
  if (longest <= kBox) {
    const int k = kBox / longest;
    return {w * k, h * k};
  }
  const auto fit = [&](int v) {
    return std::max(1, static_cast<int>(int64_t{v} * kBox / longest));
  };
  return {fit(w), fit(h)};
}

void add_row(std::string& out, const char* term, const std::string& html) {
  out += "<dt>";
  out += term;
  out += "</dt><dd>";
  out += html;
  out += "</dd>\n";
}

std::string type_filter_text(int32_t f) {
  if (f == -1) return "all modes (-1)";
  if (f >= 0 && f < kModeCount)
    return std::string(kModeNames[f]) + " (" + std::to_string(f) + ")";
  return std::to_string(f) + " (matches no mode)";
}

void add_heading(std::string& out, const Settings& s,
                 const CatalogueTotals& t) {
  out += "<h1>Vexlo catalogue</h1>\n<dl>\n";
  if (s.tree_search)
    add_row(out, "Searched",
            html_escape(s.inpath) + " for " + html_escape(s.searchtype));
  else
    add_row(out, "Scanned", html_escape(s.infile));
  add_row(out, "Output", html_escape(s.outname));
  add_row(out, "Files scanned", std::to_string(t.files_scanned));
  add_row(out, "TIMs reported", std::to_string(t.reported));
  add_row(out, "TIMs counted", std::to_string(t.counted));
  // Sizes are compared as unsigned numbers, so show them that way.
  add_row(out, "Size window",
          std::to_string(static_cast<uint32_t>(s.mintimsize)) + " to " +
              std::to_string(static_cast<uint32_t>(s.maxtimsize)) + " bytes");
  add_row(out, "Type filter", html_escape(type_filter_text(s.typefilter)));
  add_row(out, "Limit (maxtims)", std::to_string(s.maxtims));
  std::string keys;
  for (const std::string& k : keys_on(s))
    keys += (keys.empty() ? "" : ", ") + k;
  add_row(out, "Keys on", keys.empty() ? "none" : keys);
  out += "</dl>\n";
}

void add_tile(std::string& out, const CatalogueEntry& e) {
  out += e.consistent ? "<div class=\"tile\">" : "<div class=\"tile bad\">";
  const std::string& picture = !e.png.empty() ? e.png : e.bmp;
  if (!picture.empty()) {
    const std::string link = percent_encode(picture);
    const auto [w, h] = shown_size(e.width, e.height);
    char size[64];
    std::snprintf(size, sizeof size, "\" width=\"%d\" height=\"%d\"", w, h);
    out += "<a class=\"pic\" href=\"" + link + "\"><img src=\"" + link +
           "\" loading=\"lazy\" alt=\"#" + std::to_string(e.number) + size +
           "></a>";
  }
  out += "<p><b>#" + std::to_string(e.number) + "</b> " +
         std::to_string(e.width) + " x " + std::to_string(e.height) + "<br>" +
         html_escape(e.mode) + ", " + std::to_string(e.palettes) +
         (e.palettes == 1 ? " palette" : " palettes") + "<br>offset " +
         std::to_string(e.offset) + ", " + std::to_string(e.size) +
         " bytes<br>image at " + std::to_string(e.image_x) + "," +
         std::to_string(e.image_y);
  if (e.clut_x && e.clut_y)
    out += ", CLUT at " + std::to_string(*e.clut_x) + "," +
           std::to_string(*e.clut_y);
  if (e.disc_file_offset)
    out += "<br>" + html_escape(e.disc_file) + " at " +
           std::to_string(*e.disc_file_offset);
  if (!e.consistent)
    out += "<br><span class=\"mark\">blocks disagree with pixels</span>";
  if (!e.counted) out += "<br><span class=\"mark\">not counted</span>";
  out += "</p></div>\n";
}

}  // namespace

std::string gallery_page(const Settings& s, const CatalogueTotals& totals,
                         const std::vector<CatalogueSection>& sections) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
      "charset=\"utf-8\">\n<meta name=\"viewport\" "
      "content=\"width=device-width, initial-scale=1\">\n<title>Vexlo "
      "catalogue</title>\n<style>\n";
  out += kStyle;
  out += "</style>\n</head>\n<body>\n";
  add_heading(out, s, totals);
  for (const CatalogueSection& section : sections) {
    out += "<section>\n<h2>" + html_escape(section.file) + "</h2>\n";
    // A disc image's tiles under a heading per disc file, in the order the
    // scan met them, which is the disc's.
    const bool by_file =
        std::any_of(section.entries.begin(), section.entries.end(),
                    [](const CatalogueEntry& e) { return e.disc_file_offset; });
    const CatalogueEntry* previous = nullptr;
    for (const CatalogueEntry& e : section.entries) {
      if (previous == nullptr ||
          (by_file && e.disc_file != previous->disc_file)) {
        if (previous != nullptr) out += "</div>\n";
        if (by_file)
          out +=
              "<h3>" +
              (e.disc_file_offset ? html_escape(e.disc_file)
                                  : std::string("Outside the disc's files")) +
              "</h3>\n";
        out += "<div class=\"grid\">\n";
      }
      add_tile(out, e);
      previous = &e;
    }
    if (previous == nullptr) out += "<div class=\"grid\">\n";
    out += "</div>\n</section>\n";
  }
  if (totals.not_shown > 0)
    out +=
        "<p><b>" + std::to_string(totals.not_shown) +
        " more TIMs are not shown here.</b> " +
        html_escape(name_in_index_folder(s.outname, s.outname + "index.csv")) +
        " lists every one.</p>\n";
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace vexlo
