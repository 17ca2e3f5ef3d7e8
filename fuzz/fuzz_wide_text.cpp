// Arbitrary bytes through the Windows build's text rules, which run on every
// value of vexlo.cfg and every listed name. The bytes are read twice: as
// UTF-8, checked against the table of well-formed byte sequences (a second,
// independent reading of UTF-8), and as UTF-16 units, which must survive the
// trip through UTF-8. The long-path form must be a fixed point.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "platform/wide_text.h"

namespace {

// Length of the well-formed sequence at the start of `s`, 0 if there is none.
std::size_t sequence_length(std::string_view s, bool lone_surrogates) {
  auto at = [&](std::size_t i) { return static_cast<uint8_t>(s[i]); };
  auto in = [&](std::size_t i, uint8_t lo, uint8_t hi) {
    return i < s.size() && at(i) >= lo && at(i) <= hi;
  };
  const uint8_t b = at(0);
  if (b <= 0x7F) return 1;
  if (b >= 0xC2 && b <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b == 0xE0) lo = 0xA0;
  if (b == 0xED && !lone_surrogates) hi = 0x9F;
  if (b >= 0xE0 && b <= 0xEF) return in(1, lo, hi) && in(2, 0x80, 0xBF) ? 3 : 0;
  if (b == 0xF0) lo = 0x90;
  if (b == 0xF4) hi = 0x8F;
  if (b >= 0xF0 && b <= 0xF4)
    return in(1, lo, hi) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

// With lone surrogates allowed, a high one on its own (ED A0..AF) must not be
// followed by a low one (ED B0..BF): that pair has its four-byte form.
bool well_formed(std::string_view s, bool lone_surrogates) {
  bool after_high = false;
  while (!s.empty()) {
    const std::size_t n = sequence_length(s, lone_surrogates);
    if (n == 0) return false;
    const bool surrogate = n == 3 && static_cast<uint8_t>(s[0]) == 0xED &&
                           static_cast<uint8_t>(s[1]) >= 0xA0;
    const bool high = surrogate && static_cast<uint8_t>(s[1]) < 0xB0;
    if (after_high && surrogate && !high) return false;
    after_high = high;
    s.remove_prefix(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const bool lone : {false, true}) {
    std::u16string wide;
    const bool ok = vexlo::utf8_to_utf16(text, &wide, lone);
    FUZZ_CHECK(ok == well_formed(text, lone));
    if (ok) {
      FUZZ_CHECK(wide.size() <= text.size());
      FUZZ_CHECK(vexlo::utf16_to_utf8(wide) == text);
    }
  }
  const std::size_t end = text.find_first_of(std::string_view("\0\x1a", 2));
  FUZZ_CHECK(vexlo::config_text_is_utf8(text) ==
             well_formed(text.substr(0, end), false));

  std::u16string units(size / 2, u'\0');
  for (std::size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  std::u16string back;
  FUZZ_CHECK(vexlo::utf8_to_utf16(vexlo::utf16_to_utf8(units), &back, true));
  FUZZ_CHECK(back == units);

  // Unchanged, or prefixed (a share's two separators give way to "UNC\").
  const std::u16string form = vexlo::long_path_form(units);
  FUZZ_CHECK(form == units || form == u"\\\\?\\" + units ||
             (units.size() >= 2 && form == u"\\\\?\\UNC\\" + units.substr(2)));
  FUZZ_CHECK(vexlo::long_path_form(form) == form);
  return 0;
}
