#include "driver/config.h"

#include <cstdio>

#include "platform/file_ops.h"

namespace vexlo {

// Far beyond any real configuration; keeps a stray huge file from being
// loaded whole.
constexpr std::size_t kConfigMax = 64u << 20;

std::string config_value(std::string_view text, std::string_view key) {
  std::string needle(key);
  needle += "=\"";
  const std::size_t at = text.find(needle);
  if (at == std::string_view::npos) return {};
  const std::size_t start = at + needle.size();
  std::size_t end = text.find('"', start);
  if (end == std::string_view::npos) end = text.size();
  return std::string(text.substr(start, end - start));
}

int32_t config_int(std::string_view value) {
  std::size_t i = 0;
  auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
  };
  while (i < value.size() && is_space(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  uint32_t n = 0;  // unsigned so that wrapping is defined
  while (i < value.size() && value[i] >= '0' && value[i] <= '9') {
    n = n * 10u + static_cast<uint32_t>(value[i] - '0');
    ++i;
  }
  if (negative) n = 0u - n;
  return static_cast<int32_t>(n);
}

namespace {

std::string cut(std::string s) {
  if (s.size() > kTextMax) s.resize(kTextMax);
  return s;
}

void take_int(std::string_view text, const char* key, int32_t& field) {
  const std::string v = config_value(text, key);
  if (!v.empty()) field = config_int(v);
}

void take_flag(std::string_view text, const char* key, bool& field) {
  const std::string v = config_value(text, key);
  field = !v.empty() && v[0] != '0';
}

}  // namespace

void apply_config(Settings& s, std::string_view text) {
  const std::size_t end = text.find_first_of(std::string_view("\0\x1a", 2));
  if (end != std::string_view::npos) text = text.substr(0, end);

  if (std::string v = config_value(text, "inpath"); !v.empty()) {
    s.tree_search = true;
    s.inpath = cut(std::move(v));
    std::string type = config_value(text, "searchtype");
    s.searchtype = !type.empty() && type[0] == '*' ? cut(std::move(type))
                                                   : std::string("*.*");
  } else if (std::string f = config_value(text, "infile"); !f.empty()) {
    s.infile = cut(std::move(f));
  }
  if (std::string v = config_value(text, "outname"); !v.empty())
    s.outname = cut(std::move(v));
  take_int(text, "maxtims", s.maxtims);
  take_int(text, "mintimsize", s.mintimsize);
  take_int(text, "maxtimsize", s.maxtimsize);
  take_int(text, "typefilter", s.typefilter);
  take_flag(text, "writetim", s.writetim);
  take_flag(text, "writebmp", s.writebmp);
  take_flag(text, "numbyoffset", s.numbyoffset);
  take_flag(text, "writeindex", s.writeindex);
  take_flag(text, "cdimage", s.cdimage);
  take_flag(text, "writepng", s.writepng);
  take_flag(text, "allcluts", s.allcluts);
  take_flag(text, "looseflags", s.looseflags);
  take_flag(text, "strict", s.strict);
  if (std::string v = config_value(text, "reinsert"); !v.empty())
    s.reinsert = cut(std::move(v));
  take_flag(text, "skipduplicates", s.skipduplicates);
  take_flag(text, "nopause", s.nopause);
}

void load_config(Settings& settings) {
  std::printf("Parsing '%s'\n", kConfigName);
  std::string text;
  if (!read_small_file(kConfigName, kConfigMax, &text)) {
    std::printf("'%s' not found.\n", kConfigName);
    return;
  }
  apply_config(settings, text);
}

}  // namespace vexlo
