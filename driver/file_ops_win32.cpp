#include <windows.h>

#include "driver/file_id_win32.h"
#include "driver/file_ops.h"

namespace vexlo {

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A regular file, not a directory: consoles, pipes and devices are never
// read or written.
bool is_disk_file(HANDLE h) {
  if (::GetFileType(h) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool write_all(HANDLE h, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    const DWORD ask = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD done = 0;
    if (!::WriteFile(h, p, ask, &done, nullptr) || done == 0) return false;
    p += done;
    n -= done;
  }
  return true;
}

}  // namespace

bool file_id_of(const std::string& path, FileId* id) {
  // No access rights and backup semantics: works for any existing file or
  // directory, readable or not, and follows links.
  const HANDLE h =
      ::CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = file_id_of_handle(h, id);
  ::CloseHandle(h);
  return ok;
}

bool open_output(const std::string& name, OutputHandle* out) {
  const HANDLE h =
      ::CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!is_disk_file(h)) {
    // A device name such as NUL or CON: nothing was created to remove.
    ::CloseHandle(h);
    return false;
  }
  if (!file_id_of_handle(h, &out->id)) out->id = unique_file_id();
  out->native = reinterpret_cast<intptr_t>(h);
  return true;
}

bool write_output(const OutputHandle& out, std::span<const uint8_t> bytes) {
  return write_all(reinterpret_cast<HANDLE>(out.native), bytes.data(),
                   bytes.size());
}

bool close_output(const OutputHandle& out, const std::string& name, bool keep) {
  if (!::CloseHandle(reinterpret_cast<HANDLE>(out.native)) || !keep) {
    ::DeleteFileA(name.c_str());
    return false;
  }
  return true;
}

bool create_and_write(const std::string& name, std::span<const uint8_t> bytes,
                      FileId* id) {
  OutputHandle out;
  if (!open_output(name, &out)) return false;
  if (!close_output(out, name, write_output(out, bytes))) return false;
  *id = out.id;
  return true;
}

bool read_small_file(const std::string& name, std::size_t limit,
                     std::string* text) {
  const HANDLE h = ::CreateFileA(name.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!is_disk_file(h)) {
    ::CloseHandle(h);
    return false;
  }
  text->clear();
  char buf[65536];
  while (text->size() < limit) {
    DWORD n = 0;
    if (!::ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0) break;
    text->append(buf, n);
  }
  if (text->size() > limit) text->resize(limit);
  ::CloseHandle(h);
  return true;
}

}  // namespace vexlo
