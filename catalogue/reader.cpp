#include "catalogue/reader.h"

#include <charconv>
#include <iterator>

namespace vexlo {

namespace {

constexpr const char* kColumns[20] = {
    "number",        "counted",    "file",    "offset",  "sector",
    "sector_offset", "size",       "mode",    "bpp",     "width",
    "height",        "palettes",   "image_x", "image_y", "clut_x",
    "clut_y",        "consistent", "tim",     "bmp",     "png"};

template <typename T>
bool parse_number(const std::string& s, T& out) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  const auto [ptr, ec] = std::from_chars(s.data(), end, out);
  return ec == std::errc() && ptr == end;
}

}  // namespace

bool split_csv(std::string_view text,
               std::vector<std::vector<std::string>>& records) {
  records.clear();
  std::vector<std::string> record;
  std::string field;
  std::size_t i = 0;
  bool quoted = false, field_started = false;
  auto end_record = [&] {
    record.push_back(std::move(field));
    records.push_back(std::move(record));
    record.clear();
    field.clear();
    field_started = false;
  };
  while (i < text.size()) {
    const char c = text[i];
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
      ++i;
      continue;
    }
    if (c == '"') {
      if (field_started) return false;
      quoted = field_started = true;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
      field_started = false;
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      end_record();
      ++i;
    } else if (c == '\n') {
      end_record();
    } else {
      field += c;
      field_started = true;
    }
    ++i;
  }
  if (quoted) return false;
  if (field_started || !record.empty()) end_record();
  return true;
}

std::string read_catalogue(std::string_view text,
                           std::vector<CatalogueRow>& rows) {
  rows.clear();
  std::vector<std::vector<std::string>> records;
  if (!split_csv(text, records)) return "a quoted field is not closed";
  if (records.empty() || records[0].size() < std::size(kColumns))
    return "its header is not a catalogue's";
  const std::vector<std::string>& header = records[0];
  for (std::size_t c = 0; c < std::size(kColumns); ++c)
    if (header[c] != kColumns[c]) return "its header is not a catalogue's";
  std::size_t duplicate_column = 0, packed_column = 0, packed_offset_column = 0;
  std::size_t disc_column = 0;
  for (std::size_t c = std::size(kColumns); c < header.size(); ++c) {
    if (header[c] == "duplicate_of") duplicate_column = c;
    if (header[c] == "packed") packed_column = c;
    if (header[c] == "packed_offset") packed_offset_column = c;
    if (header[c] == "disc") disc_column = c;
  }

  for (std::size_t r = 1; r < records.size(); ++r) {
    const std::vector<std::string>& f = records[r];
    const std::string where = "row " + std::to_string(r) + ": ";
    if (f.size() == 1 && f[0].empty()) continue;  // a blank line
    if (f.size() < std::size(kColumns)) return where + "too few columns";
    CatalogueRow row;
    // The columns that place and describe the TIM must be numbers.
    const std::pair<std::size_t, int32_t*> ints[] = {
        {0, &row.number}, {3, &row.offset}, {6, &row.size},
        {8, &row.bpp},    {9, &row.width},  {10, &row.height}};
    for (const auto& [c, out] : ints)
      if (!parse_number(f[c], *out))
        return where + kColumns[c] + " is not a number";
    if (!parse_number(f[11], row.palettes))
      return where + "palettes is not a number";
    if (!f[4].empty() || !f[5].empty()) {
      uint32_t sector = 0;
      if (!parse_number(f[4], sector) || !parse_number(f[5], row.sector_offset))
        return where + "sector is not a number";
      row.sector = sector;
    }
    row.file = f[2];
    row.mode = f[7];
    row.tim = f[17];
    row.bmp = f[18];
    row.png = f[19];
    if (duplicate_column != 0 && duplicate_column < f.size() &&
        !f[duplicate_column].empty()) {
      int32_t of = 0;
      if (!parse_number(f[duplicate_column], of))
        return where + "duplicate_of is not a number";
      row.duplicate_of = of;
    }
    // A TIM in packed data: the scheme, and where it lies in the unpacked
    // bytes (offset and sector then place the stream).
    if (packed_column != 0 && packed_column < f.size() &&
        !f[packed_column].empty()) {
      if (packed_offset_column == 0 || packed_offset_column >= f.size() ||
          !parse_number(f[packed_offset_column], row.packed_offset))
        return where + "packed_offset is not a number";
      row.packed = f[packed_column];
    }
    if (disc_column != 0 && disc_column < f.size() && !f[disc_column].empty()) {
      int32_t disc = 0;
      if (!parse_number(f[disc_column], disc) || disc < 1)
        return where + "disc is not a number";
      row.disc = disc;
    }
    rows.push_back(std::move(row));
  }
  return {};
}

}  // namespace vexlo
