// What happens to a reported TIM: its report lines, its files (the .tim
// copy, the images) and its catalogue row, and the limit that ends a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/settings.h"
#include "tim/tim.h"

namespace vexlo {

// Prints the report of an accepted TIM in the size window, shown at byte
// `shown` of the file.
void print_report(uint32_t shown, const Examined& found);

// True, after printing the limit line, once more than maxtims TIMs have been
// counted: the scan ends.
bool hit_limit(const Run& run);

// Writes the .tim copy, the images and the catalogue row of one reported TIM
// at `off` and counts it.
void emit_tim(Run& run, std::span<const uint8_t> data, std::size_t off,
              uint32_t total, const TimInfo& info);

}  // namespace vexlo
