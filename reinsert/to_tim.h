// Turning an edited picture back into the bytes of the TIM it was made
// from, exactly: no colour is ever approximated. Only pixel bytes and CLUT
// entries change; headers, block lengths and padding stay.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/pixels.h"
#include "convert/picture.h"

namespace vexlo {

// The 16-bit value of colour `c` as a picture shows it: each channel c >> 3;
// alpha below 128 is 0x0000, alpha 254 sets STP, any other alpha clears it
// except for black, which is opaque black (0x8000).
uint16_t colour_value(Rgba c);

// What a picture of a 4- or 8-bit TIM edits.
enum class Edit {
  kPixels,   // indices, each the first CLUT entry that shows its colour
  kPalette,  // the entries of its CLUT row
};

// Applies `pic`, the picture of CLUT row `row` made for `target` (PNG or
// bitmap colours), to `tim`: a TIM's bytes from its first byte, as far as
// its size and its pixels reach. A pixel that still shows its current
// value keeps it. A 4- or 8-bit TIM's picture whose changed pixels all show
// colours the row holds is a pixel edit (the CLUT stays, whatever the
// picture's palette); else an indexed PNG of the row's whole palette, or a
// picture of another row (row > 0), is a palette edit; else it is refused.
// `edit`, when given, says which it was. With `keep_indices` (a _pal image's
// palette edit) the palette may change but the pixels must show the indices
// `tim` holds. Returns why the picture cannot be applied, naming it as
// `name`; empty on success.
std::string apply_picture(std::vector<uint8_t>& tim, const Picture& pic,
                          int32_t row, Target target, bool keep_indices,
                          const std::string& name, Edit* edit = nullptr);

// Applies a .tim file: it must have the TIM's size (`total`) and the same
// header and block headers.
std::string apply_tim_file(std::vector<uint8_t>& tim, uint32_t total,
                           std::span<const uint8_t> source,
                           const std::string& name);

}  // namespace vexlo
