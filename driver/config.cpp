#include "driver/config.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

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

}  // namespace

void apply_config(Settings& s, std::string_view text) {
  const std::size_t end = text.find_first_of(std::string_view("\0\x1a", 2));
  if (end != std::string_view::npos) text = text.substr(0, end);

  // The tree search's key decides how the others of the search are taken.
  const bool tree =
      std::any_of(std::begin(kKeys), std::end(kKeys), [&](const Key& k) {
        return k.kind == KeyKind::kTree && !config_value(text, k.name).empty();
      });
  for (const Key& key : kKeys) {
    std::string v = config_value(text, key.name);
    switch (key.kind) {
      case KeyKind::kFlag:
        s.*key.flag = !v.empty() && v[0] != '0';
        break;
      case KeyKind::kNumber:
        if (!v.empty()) s.*key.number = config_int(v);
        break;
      case KeyKind::kTree:
        if (tree) {
          s.tree_search = true;
          s.*key.text = cut(std::move(v));
        }
        break;
      case KeyKind::kPattern:
        if (tree)
          s.*key.text = !v.empty() && v[0] == '*' ? cut(std::move(v))
                                                  : std::string("*.*");
        break;
      case KeyKind::kFile:
        if (!tree && !v.empty()) s.*key.text = cut(std::move(v));
        break;
      case KeyKind::kText:
        if (!v.empty()) s.*key.text = cut(std::move(v));
        break;
    }
  }
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
