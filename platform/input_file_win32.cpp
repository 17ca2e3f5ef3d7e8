#include <windows.h>

#include "platform/file_id_win32.h"
#include "platform/input_file.h"
#include "platform/wide_path_win32.h"

namespace vexlo {

bool InputData::allocate(std::size_t capacity) {
  release();
  if (capacity == 0) return true;
  // Whole pages straight from the system: a large input is neither copied
  // nor left to fragment the heap.
  void* p = ::VirtualAlloc(nullptr, capacity, MEM_RESERVE | MEM_COMMIT,
                           PAGE_READWRITE);
  if (p == nullptr) return false;
  data_ = static_cast<uint8_t*>(p);
  capacity_ = capacity;
  return true;
}

void InputData::release() {
  if (data_ != nullptr && data_ == small_.data())
    give_back_small();
  else if (data_ != nullptr)
    ::VirtualFree(data_, 0, MEM_RELEASE);
  data_ = nullptr;
  size_ = capacity_ = 0;
}

// The whole file is in memory: nothing is gained by reading it again.
bool InputData::read_at(std::size_t, uint8_t*, std::size_t) const {
  return false;
}

void InputData::populate() const {}

bool InputData::populate(std::size_t, std::size_t) const { return false; }

bool InputData::in_large_page(std::size_t) const { return false; }

namespace {

HANDLE handle_of(const InputFile& file) {
  return reinterpret_cast<HANDLE>(file.handle);
}

}  // namespace

InputFile open_input(const std::string& path) {
  InputFile f;
  std::wstring wide;
  if (!wide_path(path, &wide)) return f;
  // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS, so it
  // fails here like on other systems.
  const HANDLE h = ::CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return f;
  // Consoles, pipes and other devices could wait forever for data.
  BY_HANDLE_FILE_INFORMATION info;
  LARGE_INTEGER size;
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    f.special = true;
    return f;
  }
  if (!::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      !::GetFileSizeEx(h, &size) || size.QuadPart < 0) {
    ::CloseHandle(h);
    return f;
  }
  f.id.device = info.dwVolumeSerialNumber;
  f.id.inode =
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  f.length = size.QuadPart;
  f.handle = reinterpret_cast<intptr_t>(h);
  f.regular = true;
  f.status = f.length > kInputMax ? LoadStatus::kTooLarge : LoadStatus::kLoaded;
  return f;
}

LoadStatus read_input(InputFile& file, InputData& data) {
  const std::size_t want = static_cast<std::size_t>(file.length);
  LoadStatus status = LoadStatus::kLoaded;
  // Small files go to the buffer the last one was read into: its pages are
  // already there.
  if (!(want <= kSmallInput ? data.allocate_small(want)
                            : data.allocate(want))) {
    status = LoadStatus::kNoMemory;
  } else {
    const HANDLE h = handle_of(file);
    std::size_t got = 0;
    while (got < want) {
      // ReadFile takes a 32-bit count; whole files come in large pieces.
      const std::size_t left = want - got;
      const DWORD ask =
          left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
      DWORD n = 0;
      if (!::ReadFile(h, data.buffer() + got, ask, &n, nullptr) || n == 0)
        break;
      got += n;
    }
    data.set_size(got);
  }
  close_input(file);
  return status;
}

bool read_head(const InputFile& file, std::span<uint8_t> out) {
  if (file.handle == -1 || file.handle == 0) return false;
  const HANDLE h = handle_of(file);
  DWORD n = 0;
  const bool ok =
      ::ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &n, nullptr) &&
      n == out.size();
  // read_input reads on from the file pointer.
  LARGE_INTEGER start;
  start.QuadPart = 0;
  return ::SetFilePointerEx(h, start, nullptr, FILE_BEGIN) && ok;
}

void close_input(InputFile& file) {
  if (file.handle != -1 && file.handle != 0) ::CloseHandle(handle_of(file));
  file.handle = -1;
}

}  // namespace vexlo
