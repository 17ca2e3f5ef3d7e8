#include <windows.h>

#include "platform/aligned_buffer.h"
#include "platform/file_id_win32.h"
#include "platform/file_ops.h"
#include "platform/wide_path_win32.h"
#include "platform/wide_text.h"

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

// Opens `path` to be written from empty. An existing hidden or system file
// can only be replaced by asking for the same attributes, and a read-only
// one only once that attribute is off: it is cleared here and handed back
// in *restore, to be set again once the file is written. A file whose
// attributes the user may not change stays as it is.
HANDLE create_over(const std::wstring& path, DWORD* restore) {
  *restore = INVALID_FILE_ATTRIBUTES;
  DWORD attrs = FILE_ATTRIBUTE_NORMAL;
  const DWORD old = ::GetFileAttributesW(path.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    const DWORD keep = old & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (keep != 0) attrs = keep;
    if (old & FILE_ATTRIBUTE_READONLY) {
      if (!::SetFileAttributesW(path.c_str(), old & ~FILE_ATTRIBUTE_READONLY))
        return INVALID_HANDLE_VALUE;
      *restore = old;
    }
  }
  const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, CREATE_ALWAYS, attrs, nullptr);
  if (h == INVALID_HANDLE_VALUE && *restore != INVALID_FILE_ATTRIBUTES) {
    ::SetFileAttributesW(path.c_str(), *restore);
    *restore = INVALID_FILE_ATTRIBUTES;
  }
  return h;
}

}  // namespace

bool file_id_of(const std::string& path, FileId* id) {
  std::wstring wide;
  if (!wide_path(path, &wide)) return false;
  // No access rights and backup semantics: works for any existing file or
  // directory, readable or not, and follows links.
  const HANDLE h =
      ::CreateFileW(wide.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = file_id_of_handle(h, id);
  ::CloseHandle(h);
  return ok;
}

bool open_output(const std::string& name, OutputHandle* out,
                 const FileId* protect, bool want_id) {
  std::wstring wide;
  if (!wide_path(name, &wide)) return false;
  DWORD restore = INVALID_FILE_ATTRIBUTES;
  // Most outputs are new files: one made here cannot be the input and needs
  // none of the care below for attributes. A name already there is looked
  // at first and replaced as before.
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    FileId existing;
    if (protect != nullptr && file_id_of(name, &existing) &&
        existing == *protect)
      return false;
    h = create_over(wide, &restore);
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!is_disk_file(h)) {
    // A device name such as NUL or CON: nothing was created to remove.
    ::CloseHandle(h);
    return false;
  }
  if (want_id && !file_id_of_handle(h, &out->id)) out->id = unique_file_id();
  out->native = reinterpret_cast<intptr_t>(h);
  out->restore_attributes = restore;
  return true;
}

bool write_output(const OutputHandle& out, std::span<const uint8_t> bytes) {
  return write_all(reinterpret_cast<HANDLE>(out.native), bytes.data(),
                   bytes.size());
}

bool close_output(const OutputHandle& out, const std::string& name, bool keep) {
  std::wstring wide;
  const bool named = wide_path(name, &wide);
  if (!::CloseHandle(reinterpret_cast<HANDLE>(out.native)) || !keep) {
    if (named) ::DeleteFileW(wide.c_str());
    return false;
  }
  if (named && out.restore_attributes != INVALID_FILE_ATTRIBUTES)
    ::SetFileAttributesW(wide.c_str(), out.restore_attributes);
  return true;
}

bool create_and_write(const std::string& name, std::span<const uint8_t> bytes,
                      FileId* id, const FileId* protect, bool want_id) {
  OutputHandle out;
  if (!open_output(name, &out, protect, want_id)) return false;
  if (!close_output(out, name, write_output(out, bytes))) return false;
  *id = out.id;
  return true;
}

bool copy_with_patches(const std::string& from, const std::string& to,
                       std::span<const FilePatch> patches, FileId* id) {
  std::wstring wide_from, wide_to;
  if (!wide_path(from, &wide_from) || !wide_path(to, &wide_to)) return false;
  // The system copies the file (sharing its blocks where it can).
  if (!::CopyFileW(wide_from.c_str(), wide_to.c_str(), FALSE)) {
    ::DeleteFileW(wide_to.c_str());
    return false;
  }
  // A copy of a read-only file is read-only too.
  const DWORD attrs = ::GetFileAttributesW(wide_to.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesW(wide_to.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
  const HANDLE h =
      ::CreateFileW(wide_to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = h != INVALID_HANDLE_VALUE && is_disk_file(h);
  for (const FilePatch& p : patches) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(p.offset);
    ok = ok && ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
         write_all(h, p.bytes.data(), p.bytes.size());
  }
  if (ok && !file_id_of_handle(h, id)) *id = unique_file_id();
  if (h != INVALID_HANDLE_VALUE && !::CloseHandle(h)) ok = false;
  if (!ok) ::DeleteFileW(wide_to.c_str());
  return ok;
}

std::string unreadable_reason(const std::string& name) {
  std::wstring wide;
  if (!wide_path(name, &wide)) return "not a name this system takes";
  const HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    char text[512];
    DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        ::GetLastError(), 0, text, sizeof text, nullptr);
    // Without the line end and full stop the system puts after it.
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' ||
                     text[n - 1] == ' ' || text[n - 1] == '.'))
      --n;
    return n > 0 ? std::string(text, n) : "it cannot be opened";
  }
  const bool disk = ::GetFileType(h) == FILE_TYPE_DISK;
  ::CloseHandle(h);
  return disk ? std::string() : "not a file";
}

bool remove_file(const std::string& name) {
  std::wstring wide;
  return wide_path(name, &wide) && ::DeleteFileW(wide.c_str());
}

bool read_small_file(const std::string& name, std::size_t limit,
                     std::string* text) {
  std::wstring wide;
  if (!wide_path(name, &wide)) return false;
  const HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (!is_disk_file(h)) {
    ::CloseHandle(h);
    return false;
  }
  text->clear();
  alignas(AlignedBuffer::kAlign) char buf[65536];
  while (text->size() < limit) {
    DWORD n = 0;
    if (!::ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0) break;
    text->append(buf, n);
  }
  if (text->size() > limit) text->resize(limit);
  ::CloseHandle(h);
  // Paths inside the program are UTF-8. Text in any other encoding was saved
  // in the ANSI code page (as older editors do) and is converted whole.
  if (!config_text_is_utf8(*text)) {
    const int size = static_cast<int>(text->size());
    const int n =
        ::MultiByteToWideChar(CP_ACP, 0, text->data(), size, nullptr, 0);
    std::wstring wide_text(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0 && ::MultiByteToWideChar(CP_ACP, 0, text->data(), size,
                                       wide_text.data(), n) == n)
      *text = utf16_to_utf8(std::u16string(wide_text.begin(), wide_text.end()));
  }
  return true;
}

}  // namespace vexlo
