// vexlo.cfg: one string searched for each key="value" entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/settings.h"

namespace vexlo {

// The value of `key`: the text after the first `key="` (which may be the
// tail of a longer word) up to the next quote or the end of the text.
// Empty when the key is absent.
std::string config_value(std::string_view text, std::string_view key);

// Leading white space, an optional sign, then decimal digits; 32-bit
// arithmetic that wraps, as the tool has always converted numbers.
int32_t config_int(std::string_view value);

// Sets every field that the text gives, in key order. The text ends at the
// first zero byte or 0x1A, if any. Values longer than kTextMax are cut.
void apply_config(Settings& settings, std::string_view text);

// Reads vexlo.cfg from the current directory and applies it.
void load_config(Settings& settings);

}  // namespace vexlo
