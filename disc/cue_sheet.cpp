#include "disc/cue_sheet.h"

#include <cstdio>
#include <cstring>

#include "disc/disc_image.h"

namespace vexlo {

TrackMode data_track_mode(std::span<const uint8_t> bin, uint64_t sector,
                          uint64_t end) {
  static constexpr uint8_t kSync[12] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  const uint64_t whole = bin.size() / kRawSectorSize;
  for (; sector < end && sector < whole; ++sector) {
    const uint8_t* s = bin.data() + sector * kRawSectorSize;
    if (std::memcmp(s, kSync, sizeof kSync) != 0) continue;
    if (s[15] == 1) return TrackMode::kMode1;
    if (s[15] == 2) return TrackMode::kMode2;
  }
  return TrackMode::kMode2;
}

std::string cue_sheet_text(const std::string& bin_name,
                           std::span<const CueTrack> tracks) {
  std::string text = "FILE \"" + bin_name + "\" BINARY\n";
  for (const CueTrack& t : tracks) {
    const char* mode = t.mode == TrackMode::kAudio   ? "AUDIO"
                       : t.mode == TrackMode::kMode1 ? "MODE1/2352"
                                                     : "MODE2/2352";
    const uint32_t f = t.start % 75;
    const uint32_t s = t.start / 75 % 60;
    const uint32_t m = t.start / 75 / 60;
    char line[80];
    std::snprintf(line, sizeof line,
                  "  TRACK %02d %s\n    INDEX 01 %02u:%02u:%02u\n", t.number,
                  mode, static_cast<unsigned>(m), static_cast<unsigned>(s),
                  static_cast<unsigned>(f));
    text += line;
  }
  return text;
}

std::string one_track_cue_sheet(const std::string& bin_name,
                                std::span<const uint8_t> bin) {
  const CueTrack track{1, data_track_mode(bin, 0, UINT64_MAX), 0};
  return cue_sheet_text(bin_name, {&track, 1});
}

}  // namespace vexlo
