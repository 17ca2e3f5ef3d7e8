// Portable path and wildcard rules of the tree search.
#pragma once

#include <string>
#include <string_view>

namespace vexlo {

// Matches a file name against a wildcard the way Windows listings do: `*`
// any run of characters, `?` any one, letters in either case; a trailing
// ".*" also matches names without an extension (so "*.*" matches every
// name) and a trailing "." matches only names without a dot ("*." names the
// dotless ones).
bool wildcard_match(std::string_view pattern, std::string_view name);

// Folds doubled separators and resolves "." and ".." textually in the
// absolute path `path` (which starts with `sep`). ".." never climbs above the
// root.
std::string normalise_path(std::string_view path, char sep);

// Where the folder part of `path` ends: after its last separator (where
// Windows separators apply, also after a drive's colon); 0 without one.
std::size_t folder_end(std::string_view path);

}  // namespace vexlo
