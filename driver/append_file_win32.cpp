#include <windows.h>

#include "driver/append_file.h"
#include "driver/file_id_win32.h"

namespace vexlo {

namespace {

HANDLE as_handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

bool AppendFile::open(const std::string& name, FileId* id) {
  close();
  const HANDLE h =
      ::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  // A device name such as NUL or CON is no file to keep.
  if (::GetFileType(h) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    ::CloseHandle(h);
    return false;
  }
  if (!file_id_of_handle(h, id)) *id = unique_file_id();
  handle_ = reinterpret_cast<intptr_t>(h);
  return true;
}

bool AppendFile::append(std::string_view bytes) {
  if (handle_ == kClosed) return false;
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD done = 0;
    if (!::WriteFile(as_handle(handle_), p, ask, &done, nullptr) || done == 0)
      return false;
    p += done;
    n -= done;
  }
  return true;
}

bool AppendFile::close() {
  if (handle_ == kClosed) return true;
  const HANDLE h = as_handle(handle_);
  handle_ = kClosed;
  return ::CloseHandle(h) != 0;
}

}  // namespace vexlo
