#include "catalogue/catalogue.h"

#include <iterator>
#include <utility>

#include "platform/path.h"

namespace vexlo {

namespace {

template <typename T>
std::string number_or_empty(const std::optional<T>& v) {
  return v ? std::to_string(*v) : std::string();
}

const char* yes_no(bool b) { return b ? "yes" : "no"; }

// Records end in CRLF, as RFC 4180 writes them.
constexpr const char* kRecordEnd = "\r\n";

}  // namespace

std::string csv_field(std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos)
    return std::string(value);
  std::string q = "\"";
  for (char c : value) {
    if (c == '"') q += '"';
    q += c;
  }
  q += '"';
  return q;
}

std::string csv_header() {
  return std::string(
             "number,counted,file,offset,sector,sector_offset,size,mode,bpp,"
             "width,height,palettes,image_x,image_y,clut_x,clut_y,consistent,"
             "tim,bmp,png,disc_file,disc_file_offset,duplicate_of,packed,"
             "packed_offset,disc") +
         kRecordEnd;
}

std::string csv_row(const CatalogueEntry& e) {
  const std::string fields[] = {std::to_string(e.number),
                                yes_no(e.counted),
                                csv_field(e.file),
                                std::to_string(e.offset),
                                number_or_empty(e.sector),
                                number_or_empty(e.sector_offset),
                                std::to_string(e.size),
                                csv_field(e.mode),
                                std::to_string(e.bpp),
                                std::to_string(e.width),
                                std::to_string(e.height),
                                std::to_string(e.palettes),
                                std::to_string(e.image_x),
                                std::to_string(e.image_y),
                                number_or_empty(e.clut_x),
                                number_or_empty(e.clut_y),
                                yes_no(e.consistent),
                                csv_field(e.tim),
                                csv_field(e.bmp),
                                csv_field(e.png),
                                csv_field(e.disc_file),
                                number_or_empty(e.disc_file_offset),
                                number_or_empty(e.duplicate_of),
                                csv_field(e.packed),
                                number_or_empty(e.packed_offset),
                                number_or_empty(e.disc)};
  std::string row;
  for (std::size_t i = 0; i < std::size(fields); ++i) {
    if (i > 0) row += ',';
    row += fields[i];
  }
  return row + kRecordEnd;
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      case '\r':
        // A bare CR would be read as a line end and lost from the text.
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string percent_encode(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(name.size());
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                       c == '_' || c == '~';
    if (plain) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string name_in_index_folder(std::string_view outname,
                                 const std::string& name) {
  const std::size_t folder = folder_end(outname);
  if (folder == 0 || name.size() < folder) return name;
  return name.substr(folder);
}

std::vector<std::string> keys_on(const Settings& s) {
  std::vector<std::string> on;
  for (const Key& key : kKeys)
    if (key.kind == KeyKind::kFlag && s.*key.flag) on.emplace_back(key.name);
  return on;
}

}  // namespace vexlo
