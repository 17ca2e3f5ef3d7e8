// Reading back the CSV catalogue a run wrote (writeindex): RFC 4180 quoting,
// CRLF or LF line ends, the 20 columns this program writes first; later
// columns are allowed and found by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexlo {

// The columns of one row that name a TIM and the files written for it.
struct CatalogueRow {
  int32_t number = 0;
  std::string file;
  int32_t offset = 0;
  std::optional<uint32_t> sector;
  uint32_t sector_offset = 0;
  int32_t size = 0;
  std::string mode;
  int32_t bpp = 0;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t palettes = 0;
  std::string tim, bmp, png;
  // The number of the row this one repeats (column duplicate_of), when the
  // catalogue has the column and the row a value.
  std::optional<int32_t> duplicate_of;
  // For a TIM in packed data (columns packed and packed_offset): the
  // scheme's name and the TIM's offset in the unpacked bytes; `offset` and
  // `sector` then give the stream's first byte. Empty for other TIMs.
  std::string packed;
  uint32_t packed_offset = 0;
  // The disc of a PBP that holds it (column disc), when the catalogue has
  // the column and the row a value.
  std::optional<int32_t> disc;
};

// The records of a CSV text; a quoted field may hold commas, quotes
// (doubled) and line ends. False when a quote is left open or a quote
// stands inside an unquoted field.
bool split_csv(std::string_view text,
               std::vector<std::vector<std::string>>& records);

// The rows of a catalogue. On failure returns why ("its header is not a
// catalogue's", "row 3: offset is not a number"); empty on success.
std::string read_catalogue(std::string_view text,
                           std::vector<CatalogueRow>& rows);

}  // namespace vexlo
