// Arbitrary bytes as the text of vexlo.cfg through apply_config. Checks what
// every later stage relies on: bounded, quote-free text fields, real 0/1
// flags, and the tree-search fields set together or not at all.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "driver/config.h"
#include "fuzz/check.h"

namespace {

using vexlo::kTextMax;

bool flag_is_bool(const bool& b) {
  unsigned char raw;
  std::memcpy(&raw, &b, 1);
  return raw <= 1;
}

void check_text(const std::string& field, std::string_view text,
                const char* key) {
  FUZZ_CHECK(field.size() <= kTextMax);
  FUZZ_CHECK(field.find_first_of(std::string_view("\"\0\x1a", 3)) ==
             std::string::npos);
  // Whatever was taken is the start of the key's value.
  const std::string v = vexlo::config_value(text, key);
  FUZZ_CHECK(v.compare(0, field.size(), field) == 0);
}

// Independent of config_int: strtoll, for the values that fit 64 bits.
void check_int(int32_t field, int32_t fallback, std::string_view text,
               const char* key) {
  const std::string v = vexlo::config_value(text, key);
  if (v.empty()) {
    FUZZ_CHECK(field == fallback);
    return;
  }
  FUZZ_CHECK(field == vexlo::config_int(v));
  errno = 0;
  const long long ll = std::strtoll(v.c_str(), nullptr, 10);
  if (errno == 0)
    FUZZ_CHECK(field == static_cast<int32_t>(static_cast<uint32_t>(
                            static_cast<unsigned long long>(ll))));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  vexlo::Settings s;
  const vexlo::Settings defaults;
  vexlo::apply_config(s, text);

  const std::size_t end = text.find_first_of(std::string_view("\0\x1a", 2));
  if (end != std::string_view::npos) text = text.substr(0, end);

  FUZZ_CHECK(flag_is_bool(s.tree_search));
  FUZZ_CHECK(flag_is_bool(s.writetim));
  FUZZ_CHECK(flag_is_bool(s.writebmp));
  FUZZ_CHECK(flag_is_bool(s.numbyoffset));

  check_text(s.inpath, text, "inpath");
  check_text(s.infile, text, "infile");
  check_text(s.outname, text, "outname");
  check_text(s.reinsert, text, "reinsert");
  FUZZ_CHECK(s.searchtype.size() <= kTextMax);

  FUZZ_CHECK(s.tree_search == !s.inpath.empty());
  if (s.tree_search) {
    FUZZ_CHECK(s.infile.empty());
    FUZZ_CHECK(!s.searchtype.empty() && s.searchtype[0] == '*');
    if (s.searchtype != "*.*") check_text(s.searchtype, text, "searchtype");
  } else {
    FUZZ_CHECK(s.searchtype.empty());
  }

  check_int(s.maxtims, defaults.maxtims, text, "maxtims");
  check_int(s.mintimsize, defaults.mintimsize, text, "mintimsize");
  check_int(s.maxtimsize, defaults.maxtimsize, text, "maxtimsize");
  check_int(s.typefilter, defaults.typefilter, text, "typefilter");
  return 0;
}
