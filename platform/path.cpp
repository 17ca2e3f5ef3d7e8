#include "platform/path.h"

#include <vector>

#include "platform/dir_list.h"

namespace vexlo {

namespace {

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Plain glob with `*` and `?`, case-insensitive, iterative with one
// backtrack point so that no pattern costs more than O(n*m).
bool glob(std::string_view p, std::string_view n) {
  std::size_t pi = 0, ni = 0, star = std::string_view::npos, mark = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == '?' || lower(p[pi]) == lower(n[ni]))) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ni;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      ni = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view name) {
  const bool dotless = name.find('.') == std::string_view::npos;
  const std::size_t n = pattern.size();
  if (n >= 1 && pattern.back() == '.')
    return dotless && glob(pattern.substr(0, n - 1), name);
  if (glob(pattern, name)) return true;
  return n >= 2 && pattern.substr(n - 2) == ".*" && dotless &&
         glob(pattern.substr(0, n - 2), name);
}

std::string normalise_path(std::string_view path, char sep) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == sep) ++i;
    std::size_t j = i;
    while (j < path.size() && path[j] != sep) ++j;
    const std::string_view part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j;
  }
  std::string out;
  for (const std::string_view part : parts) {
    out += sep;
    out += part;
  }
  if (out.empty()) out += sep;
  return out;
}

std::size_t folder_end(std::string_view path) {
  const std::string_view seps =
      kPathSeparator == '\\' ? std::string_view("/\\:") : std::string_view("/");
  const std::size_t cut = path.find_last_of(seps);
  return cut == std::string_view::npos ? 0 : cut + 1;
}

}  // namespace vexlo
