// The gallery page: a static document that shows everything with scripts
// off (a page of ten thousand tiles opens like any other; images load
// lazily). A small inline script adds the controls: picture scale, the
// background behind pictures, folded repeats and the frame-buffer view.
#include "catalogue/gallery.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace vexlo {

namespace {

// Pictures wider than this are shown at 1x by default, 2x otherwise.
constexpr int kWide = 256;

// Custom properties carry each picture's size and each rectangle's place, so
// that the controls only switch an attribute on <body> and CSS does the rest.
constexpr const char* kStyle =
    "body{font:14px/1.4 system-ui,sans-serif;margin:16px;background:#eee;"
    "color:#222;--bg:repeating-conic-gradient(#bbb 0 25%,#fff 0 50%) 0 0/16px "
    "16px}\n"
    "body[data-bg=dark]{--bg:repeating-conic-gradient(#2a2a2a 0 25%,#484848 0 "
    "50%) 0 0/16px 16px}\n"
    "body[data-bg=black]{--bg:#000}body[data-bg=white]{--bg:#fff}"
    "body[data-bg=magenta]{--bg:#f0f}\n"
    "body[data-bg=dark],body[data-bg=black]{background:#181818;color:#ddd}\n"
    "h1{font-size:20px;margin:0 0 8px}\n"
    "dl{display:grid;grid-template-columns:max-content auto;gap:2px 12px;"
    "margin:0 0 12px}\n"
    "dt{font-weight:600}dd{margin:0;overflow-wrap:anywhere}\n"
    ".bar{position:sticky;top:0;z-index:3;display:flex;flex-wrap:wrap;"
    "gap:4px 16px;padding:6px 0;background:inherit}\n"
    ".bar[hidden]{display:none}\n"
    ".head{display:flex;flex-wrap:wrap;align-items:baseline;gap:0 12px;"
    "background:#ccd;color:#222;padding:4px 8px;margin:16px 0 8px}\n"
    "h2{font:600 14px monospace;margin:0;overflow-wrap:anywhere;"
    "white-space:pre-wrap}\n"
    ".count{font-size:12px}\n"
    // One flow for a whole input file: group headings are items in it, so
    // small groups share rows.
    ".grid{display:flex;flex-wrap:wrap;align-items:flex-start;gap:8px;"
    "margin-bottom:16px}\n"
    ".group{flex:none;width:148px;padding:6px;background:#dde;"
    "border-left:4px solid #669;font-size:12px;overflow-wrap:anywhere}\n"
    "body[data-bg=dark] .head,body[data-bg=black] .head,body[data-bg=dark] "
    ".group,body[data-bg=black] .group{background:#2c2c44;color:#ddd}\n"
    "h3{font:600 13px monospace;margin:0 0 4px;white-space:pre-wrap}\n"
    ".tile{flex:none;min-width:128px;background:#fff;border:1px solid #bbb;"
    "padding:6px;font-size:12px}\n"
    "body[data-bg=dark] .tile,body[data-bg=black] .tile{background:#2a2a2a;"
    "border-color:#555}\n"
    ".tile.bad{border:2px solid #c00}\n"
    // The caption wraps at the picture's width instead of widening the tile.
    ".tile p{width:0;min-width:100%;margin:4px 0 0;overflow-wrap:anywhere}\n"
    ".tile:target{outline:3px solid #08f}\n"
    ".hl{outline:3px solid #f80!important;z-index:2}\n"
    ".pic{display:block;width:max-content}\n"
    // Nearest-neighbour scaling keeps texels square; the chosen background
    // shows through transparent pixels.
    ".pic img{display:block;image-rendering:crisp-edges;"
    "image-rendering:pixelated;background:var(--bg);--k:2;"
    "width:calc(var(--w)*var(--k)*1px);height:calc(var(--h)*var(--k)*1px)}\n"
    ".pic img.wide{--k:1}\n"
    "body[data-scale=\"1\"] .pic img{--k:1}"
    "body[data-scale=\"2\"] .pic img{--k:2}"
    "body[data-scale=\"4\"] .pic img{--k:4}\n"
    ".mark{color:#fff;background:#c00;padding:0 4px;font-weight:600}\n"
    "body[data-rep=fold] .rep{display:none}\n"
    // The frame-buffer view: hidden unless chosen, so that with scripts off
    // the page is the tiles alone.
    ".fb{display:none;flex:0 0 100%;overflow:auto;font-size:12px}\n"
    "body[data-view=fb] .fb{display:block}\n"
    ".lead{flex:none;display:flex;align-items:flex-start;gap:8px}\n"
    "body[data-view=fb] .lead{display:contents}\n"
    "body[data-view=fb] .group{flex-basis:100%;width:auto;box-sizing:"
    "border-box}\n"
    ".fbox{--f:1;position:relative;overflow:hidden;width:calc(1024px*var(--f));"
    "height:calc(512px*var(--f));background:var(--bg);border:1px solid #888}\n"
    "body[data-fbs=\"0.5\"] .fbox{--f:.5}body[data-fbs=\"2\"] .fbox{--f:2}\n"
    // Texture pages (64 x 256 units) as a faint grid over everything.
    ".fbox::after{content:\"\";position:absolute;inset:0;pointer-events:none;"
    "background:linear-gradient(90deg,rgba(128,128,176,.5) 1px,transparent "
    "1px) 0 0/calc(64px*var(--f)) 100%,linear-gradient(rgba(128,128,176,.5) "
    "1px,transparent 1px) 0 0/100% calc(256px*var(--f))}\n"
    ".r{position:absolute;box-sizing:border-box;left:calc(var(--x)*var(--f)*"
    "1px);top:calc(var(--y)*var(--f)*1px);width:calc(var(--w)*var(--f)*1px);"
    "height:calc(var(--h)*var(--f)*1px);background:no-repeat 0 0/100% 100%;"
    "image-rendering:pixelated;outline:1px solid #0af;outline-offset:-1px;"
    "color:#fff;font:10px/1 monospace;text-decoration:none}\n"
    ".r.c{outline-color:#fc0;background:repeating-linear-gradient(45deg,"
    "rgba(255,204,0,.5) 0 2px,transparent 0 5px)}\n"
    ".r.ov{outline:2px solid #f00;outline-offset:-2px}\n"
    ".r span{position:absolute;left:0;top:0;background:rgba(0,0,0,.6);"
    "padding:1px 2px}\n";

constexpr const char* kScript = R"(<script>
(function () {
  var body = document.body, key = 'vexlo-gallery', saved = {};
  try { saved = JSON.parse(localStorage.getItem(key)) || {}; } catch (e) {}
  function save() {
    try { localStorage.setItem(key, JSON.stringify(saved)); } catch (e) {}
  }
  // The view always opens on the tiles; the looks are remembered.
  ['view', 'scale', 'fbs', 'bg'].forEach(function (name) {
    var select = document.getElementById('c-' + name);
    var kept = name !== 'view';
    if (kept && saved[name] !== undefined)
      for (var i = 0; i < select.options.length; ++i)
        if (select.options[i].value === saved[name]) select.value = saved[name];
    body.setAttribute('data-' + name, select.value);
    select.addEventListener('change', function () {
      body.setAttribute('data-' + name, select.value);
      if (kept) { saved[name] = select.value; save(); }
    });
  });
  var repeats = document.getElementById('c-rep');
  function fold() {
    body.setAttribute('data-rep', repeats.checked ? 'show' : 'fold');
  }
  repeats.addEventListener('change', fold);
  fold();
  document.getElementById('bar').hidden = false;
  // Hovering a rectangle highlights its tile, and a tile its rectangles.
  function mark(event, on) {
    var t = event.target.closest && event.target.closest('[data-n]');
    if (!t) return;
    var n = t.getAttribute('data-n');
    var tile = document.getElementById('t' + n);
    if (tile) tile.classList.toggle('hl', on);
    var fb = t.closest('.fb') || (tile && tile.parentNode);
    if (!fb || body.getAttribute('data-view') !== 'fb') return;
    var rects = fb.querySelectorAll('.r[data-n="' + n + '"]');
    for (var i = 0; i < rects.length; ++i) rects[i].classList.toggle('hl', on);
  }
  document.addEventListener('mouseover', function (e) { mark(e, true); });
  document.addEventListener('mouseout', function (e) { mark(e, false); });
})();
</script>
)";

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

void add_controls(std::string& out, int repeats) {
  // Hidden until the script shows it: without scripts it could do nothing.
  out +=
      "<div class=\"bar\" id=\"bar\" hidden>\n"
      "<label>View <select id=\"c-view\"><option value=\"tiles\">tiles"
      "</option><option value=\"fb\">frame buffer</option></select></label>\n"
      "<label>Scale <select id=\"c-scale\"><option value=\"auto\">2x (1x "
      "when wider than 256 px)</option><option value=\"1\">1x</option>"
      "<option value=\"2\">2x</option><option value=\"4\">4x</option>"
      "</select></label>\n"
      "<label>Frame buffer <select id=\"c-fbs\"><option value=\"0.5\">0.5x"
      "</option><option value=\"1\" selected>1x</option><option "
      "value=\"2\">2x</option></select></label>\n"
      "<label>Background <select id=\"c-bg\"><option value=\"light\">light "
      "checkerboard</option><option value=\"dark\">dark checkerboard</option>"
      "<option value=\"black\">black</option><option value=\"white\">white"
      "</option><option value=\"magenta\">magenta</option></select></label>\n"
      "<label><input type=\"checkbox\" id=\"c-rep\"> show repeats (" +
      std::to_string(repeats) + ")</label>\n</div>\n";
}

const std::string& picture_of(const CatalogueEntry& e) {
  return !e.png.empty() ? e.png : e.bmp;
}

std::string count_text(std::size_t tims, std::size_t repeats) {
  return std::to_string(tims) + (tims == 1 ? " TIM, " : " TIMs, ") +
         std::to_string(repeats) + (repeats == 1 ? " repeat" : " repeats");
}

std::size_t repeats_in(const CatalogueEntry* from, const CatalogueEntry* to) {
  return static_cast<std::size_t>(std::count_if(
      from, to, [](const CatalogueEntry& e) { return e.duplicate_of; }));
}

void add_tile(std::string& out, const CatalogueEntry& e) {
  out += "<div class=\"tile";
  if (!e.consistent) out += " bad";
  if (e.duplicate_of) out += " rep";
  out += "\"";
  // Numbers of TIMs that were not counted go on to the next one.
  if (e.counted) {
    const std::string n = std::to_string(e.number);
    out += " id=\"t" + n + "\" data-n=\"" + n + "\"";
  }
  out += ">";
  const std::string& picture = picture_of(e);
  if (!picture.empty()) {
    const std::string link = percent_encode(picture);
    const bool wide = e.width > kWide;
    const int k = wide ? 1 : 2;
    char size[160];
    std::snprintf(size, sizeof size,
                  "\" width=\"%lld\" height=\"%lld\" style=\"--w:%d;--h:%d\"%s",
                  static_cast<long long>(e.width) * k,
                  static_cast<long long>(e.height) * k, e.width, e.height,
                  wide ? " class=\"wide\"" : "");
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
  if (e.packed_offset)
    out += "<br>in " + html_escape(e.packed) + " data at byte " +
           std::to_string(e.offset) + ", offset " +
           std::to_string(*e.packed_offset);
  if (e.disc_file_offset)
    out += "<br>" + html_escape(e.disc_file) + " at " +
           std::to_string(*e.disc_file_offset);
  if (e.duplicate_of) {
    const std::string n = std::to_string(*e.duplicate_of);
    out += "<br><a href=\"#t" + n + "\">same as #" + n + "</a>";
  }
  if (!e.consistent)
    out += "<br><span class=\"mark\">blocks disagree with pixels</span>";
  if (!e.counted) out += "<br><span class=\"mark\">not counted</span>";
  out += "</p></div>\n";
}

void add_rect(std::string& out, const CatalogueEntry& e, const FbRect& r,
              bool clut, bool overlaps) {
  const std::string n = std::to_string(e.number);
  out += "<a class=\"r";
  if (clut) out += " c";
  if (overlaps) out += " ov";
  out += "\" href=\"#t" + n + "\"";
  if (e.counted) out += " data-n=\"" + n + "\"";
  char place[96];
  std::snprintf(place, sizeof place, "--x:%d;--y:%d;--w:%d;--h:%d", r.x, r.y,
                r.w, r.h);
  out += " style=\"";
  out += place;
  const std::string& picture = picture_of(e);
  // Percent-encoded names hold no character that could end a url().
  if (!clut && !picture.empty())
    out += ";background-image:url(" + percent_encode(picture) + ")";
  out += "\" title=\"#" + n + (clut ? " CLUT " : " ") + std::to_string(r.w) +
         "x" + std::to_string(r.h) + " at " + std::to_string(r.x) + "," +
         std::to_string(r.y) + "\"><span>" + n + "</span></a>\n";
}

// The frame buffer as the TIMs of [from, to) would fill it. A repeat of a
// TIM drawn here is left out: it would only cover its first.
void add_frame_buffer(std::string& out, const CatalogueEntry* from,
                      const CatalogueEntry* to) {
  struct Drawn {
    const CatalogueEntry* e;
    bool clut;
  };
  std::vector<Drawn> drawn;
  std::vector<FbRect> rects;
  std::set<int32_t> numbers;
  std::string outside;
  for (const CatalogueEntry* e = from; e != to; ++e) {
    if (e->duplicate_of && numbers.count(*e->duplicate_of)) continue;
    if (e->counted) numbers.insert(e->number);
    const FbRect image = image_rect(*e);
    if (image.x >= kFrameBufferWidth || image.y >= kFrameBufferHeight)
      outside += (outside.empty() ? " #" : ", #") + std::to_string(e->number);
    drawn.push_back({e, false});
    rects.push_back(image);
    if (const auto clut = clut_rect(*e)) {
      drawn.push_back({e, true});
      rects.push_back(*clut);
    }
  }
  const std::vector<bool> overlaps = overlapping(rects);
  out += "<div class=\"fb\"><div class=\"fbox\">\n";
  for (std::size_t i = 0; i < drawn.size(); ++i)
    add_rect(out, *drawn[i].e, rects[i], drawn[i].clut, overlaps[i]);
  out += "</div>";
  if (!outside.empty())
    out += "<p>Images outside the frame buffer:" + outside + "</p>";
  out += "</div>\n";
}

void add_section(std::string& out, const CatalogueSection& section) {
  const CatalogueEntry* first = section.entries.data();
  const CatalogueEntry* end = first + section.entries.size();
  out += "<section>\n<div class=\"head\"><h2>" + html_escape(section.file) +
         "</h2><span class=\"count\">" +
         count_text(section.entries.size(), repeats_in(first, end)) +
         "</span></div>\n<div class=\"grid\">\n";
  // A disc image's tiles in groups by disc file, in the order the scan met
  // them, which is the disc's; each group has its own frame buffer.
  const bool by_file = std::any_of(first, end, [](const CatalogueEntry& e) {
    return e.disc_file_offset.has_value();
  });
  if (!by_file && first != end) add_frame_buffer(out, first, end);
  for (const CatalogueEntry* e = first; e != end;) {
    const CatalogueEntry* stop = e + 1;
    if (by_file)
      while (stop != end && stop->disc_file == e->disc_file) ++stop;
    else
      stop = end;
    if (by_file) {
      // The heading and the first tile wrap together, so that no heading
      // is left alone at the end of a row.
      out +=
          "<div class=\"lead\"><div class=\"group\"><h3>" +
          (e->disc_file_offset ? html_escape(e->disc_file)
                               : std::string("Outside the disc's files")) +
          "</h3>" +
          count_text(static_cast<std::size_t>(stop - e), repeats_in(e, stop)) +
          "\n";
      add_frame_buffer(out, e, stop);
      out += "</div>\n";
      add_tile(out, *e++);
      out += "</div>\n";
    }
    for (; e != stop; ++e) add_tile(out, *e);
  }
  out += "</div>\n</section>\n";
}

}  // namespace

FbRect image_rect(const CatalogueEntry& e) {
  // Width in units from the pixel width: exact for 4, 8 and 15 bits; for 24
  // bits the smallest unit count that gives this many whole pixels.
  const int64_t bits = int64_t{e.width} * std::max(e.bpp, 1);
  const int64_t units = e.bpp == 15 ? e.width : (bits + 15) / 16;
  return {e.image_x, e.image_y,
          static_cast<int32_t>(std::min<int64_t>(units, 65535)), e.height};
}

std::optional<FbRect> clut_rect(const CatalogueEntry& e) {
  if (!e.clut_x || !e.clut_y) return std::nullopt;
  return FbRect{*e.clut_x, *e.clut_y, entries_per_row(e.bpp),
                static_cast<int32_t>(std::min<uint32_t>(e.palettes, 65535))};
}

std::vector<bool> overlapping(const std::vector<FbRect>& rects) {
  const std::size_t n = rects.size();
  std::vector<bool> result(n, false);
  // Clipped to the buffer, as half-open spans.
  struct Span {
    int32_t x0, y0, x1, y1;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
  };
  std::vector<Span> spans(n);
  for (std::size_t i = 0; i < n; ++i) {
    const FbRect& r = rects[i];
    const auto clip = [](int64_t v, int32_t limit) {
      return static_cast<int32_t>(std::clamp<int64_t>(v, 0, limit));
    };
    spans[i] = {clip(r.x, kFrameBufferWidth), clip(r.y, kFrameBufferHeight),
                clip(int64_t{r.x} + r.w, kFrameBufferWidth),
                clip(int64_t{r.y} + r.h, kFrameBufferHeight)};
  }
  constexpr std::size_t kPairwise = 256;
  if (n <= kPairwise) {
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t j = i + 1; j < n; ++j) {
        const Span &a = spans[i], &b = spans[j];
        if (a.empty() || b.empty()) continue;
        if (a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1)
          result[i] = result[j] = true;
      }
    return result;
  }
  // Many rectangles: count the cover of every unit, then a rectangle
  // overlaps another exactly when one of its units is covered twice.
  constexpr int W = kFrameBufferWidth + 1, H = kFrameBufferHeight + 1;
  std::vector<int32_t> grid(std::size_t{W} * H, 0);
  const auto at = [&](int x, int y) -> int32_t& {
    return grid[std::size_t(y) * W + std::size_t(x)];
  };
  for (const Span& s : spans) {
    if (s.empty()) continue;
    ++at(s.x0, s.y0);
    --at(s.x1, s.y0);
    --at(s.x0, s.y1);
    ++at(s.x1, s.y1);
  }
  // Cover by prefix sums, then twice-covered units summed the same way,
  // shifted by one so that sums of any span come from four corners.
  std::vector<int32_t> twice(std::size_t{W} * H, 0);
  for (int y = 0; y < H - 1; ++y)
    for (int x = 0; x < W - 1; ++x) {
      int32_t c = at(x, y);
      if (x > 0) c += at(x - 1, y);
      if (y > 0) c += at(x, y - 1);
      if (x > 0 && y > 0) c -= at(x - 1, y - 1);
      at(x, y) = c;
      twice[std::size_t(y + 1) * W + std::size_t(x + 1)] =
          (c >= 2) + twice[std::size_t(y) * W + std::size_t(x + 1)] +
          twice[std::size_t(y + 1) * W + std::size_t(x)] -
          twice[std::size_t(y) * W + std::size_t(x)];
    }
  const auto sum = [&](int x, int y) { return twice[std::size_t(y) * W + x]; };
  for (std::size_t i = 0; i < n; ++i) {
    const Span& s = spans[i];
    if (s.empty()) continue;
    result[i] =
        sum(s.x1, s.y1) - sum(s.x0, s.y1) - sum(s.x1, s.y0) + sum(s.x0, s.y0) >
        0;
  }
  return result;
}

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
  std::size_t repeats = 0;
  for (const CatalogueSection& section : sections)
    repeats += repeats_in(section.entries.data(),
                          section.entries.data() + section.entries.size());
  add_controls(out, static_cast<int>(repeats));
  for (const CatalogueSection& section : sections) add_section(out, section);
  if (totals.not_shown > 0)
    out +=
        "<p><b>" + std::to_string(totals.not_shown) +
        " more TIMs are not shown here.</b> " +
        html_escape(name_in_index_folder(s.outname, s.outname + "index.csv")) +
        " lists every one.</p>\n";
  out += kScript;
  out += "</body>\n</html>\n";
  return out;
}

}  // namespace vexlo
