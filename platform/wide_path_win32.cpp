#include "platform/wide_path_win32.h"

#include <windows.h>

#include "platform/wide_text.h"

namespace vexlo {

namespace {

bool full_wide(const std::string& path, std::wstring* out) {
  std::u16string u;
  // A zero byte would end the path early: no file has one in its name.
  if (path.find('\0') != std::string::npos || !utf8_to_utf16(path, &u, true))
    return false;
  const std::wstring w(u.begin(), u.end());
  // No MAX_PATH limit on the wide call: ask for the size first.
  const DWORD need = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (need == 0) return false;
  out->assign(need, L'\0');
  const DWORD n = ::GetFullPathNameW(w.c_str(), need, out->data(), nullptr);
  if (n == 0 || n >= need) return false;
  out->resize(n);
  return true;
}

}  // namespace

bool wide_path(const std::string& path, std::wstring* out) {
  std::wstring full;
  if (!full_wide(path, &full)) return false;
  const std::u16string form =
      long_path_form(std::u16string(full.begin(), full.end()));
  out->assign(form.begin(), form.end());
  return true;
}

std::string full_path(const std::string& path) {
  std::wstring full;
  if (!full_wide(path, &full)) return {};
  return utf16_to_utf8(std::u16string(full.begin(), full.end()));
}

}  // namespace vexlo
