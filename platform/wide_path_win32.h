// Paths for the wide Win32 calls. Inside the program every path is UTF-8;
// the system is handed UTF-16 in the long-path form, so that names in any
// script and paths up to the program's own limit work. Windows sources only.
#pragma once

#include <string>

namespace vexlo {

// `path` (UTF-8, relative or absolute) made absolute by the system (which
// also turns "/" into "\" and resolves "." and "..") in the "\\?\" form.
// False when `path` is not UTF-8 or cannot be made absolute.
bool wide_path(const std::string& path, std::wstring* out);

// `path` made absolute by the system, in UTF-8 and without the "\\?\"
// prefix: the form messages show. Empty on failure.
std::string full_path(const std::string& path);

}  // namespace vexlo
