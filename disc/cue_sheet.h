// Cue sheets of one BIN: the text that names the BIN and says where each of
// its tracks starts and of what kind it is.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vexlo {

enum class TrackMode { kAudio, kMode1, kMode2 };

struct CueTrack {
  int number = 1;  // 1..99
  TrackMode mode = TrackMode::kMode2;
  uint32_t start = 0;  // first sector, counted from the BIN's first
};

// The mode of the first sector of `bin` (2352-byte sectors) from `sector`
// on, before `end`, that holds a sync and mode 1 or 2; kMode2, the
// PlayStation's, when none does.
TrackMode data_track_mode(std::span<const uint8_t> bin, uint64_t sector,
                          uint64_t end);

// The cue sheet: FILE "bin_name" BINARY, then TRACK nn MODE1/2352,
// MODE2/2352 or AUDIO and INDEX 01 mm:ss:ff for each of `tracks`.
std::string cue_sheet_text(const std::string& bin_name,
                           std::span<const CueTrack> tracks);

// The cue sheet of a BIN of one data track (its mode as data_track_mode
// finds over the whole BIN).
std::string one_track_cue_sheet(const std::string& bin_name,
                                std::span<const uint8_t> bin);

}  // namespace vexlo
