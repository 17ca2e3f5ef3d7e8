// The images of one reported TIM: bitmap and/or PNG, for the first CLUT row
// or, with allcluts, for every one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "extract/run.h"
#include "tim/tim.h"

namespace vexlo {

// Names of the image files written for one TIM, by CLUT row (index 0 is the
// first row, the only one without allcluts); an empty name where that image
// was not written. Empty vectors when the kind is off or the TIM was refused.
struct ImageFiles {
  std::vector<std::string> bmp;
  std::vector<std::string> png;
};

// The name of the TIM's image with extension `ext` (".bmp", ".png"):
// "<outname><counter><ext>", or with numbyoffset
// "<outname>_<offset in 10 digits><ext>" for a TIM shown at `offset`; a TIM
// in packed data shown at `offset` (the stream's) adds "+<its offset in the
// unpacked data>" after the digits. With numbyoffset, a name already written
// this run gets "_<counter>" before the extension, so TIMs at the same
// offset of different files keep their own pictures.
std::string image_name(const Run& run, uint32_t offset, const char* ext,
                       std::optional<uint32_t> packed_offset = std::nullopt);

// The name of CLUT row `row`'s image: for row 0 `name` itself, else `name`
// with "_pal<row>" before its extension.
std::string palette_name(const std::string& name, int32_t row);

// Writes every image of a reported TIM, shown at `offset`, that the settings
// ask for. A TIM that cannot be converted gets one line saying why, however
// many images were asked for.
ImageFiles convert_tim(Run& run, const TimInfo& info, uint32_t offset,
                       std::optional<uint32_t> packed_offset = std::nullopt);

}  // namespace vexlo
