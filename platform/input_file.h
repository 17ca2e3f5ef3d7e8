// Loading one input file whole into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/file_id.h"

namespace vexlo {

// Largest input the tool handles: offsets and sizes are signed 32-bit.
constexpr int64_t kInputMax = 2147483647;

enum class LoadStatus;
struct InputFile;

// Owns the loaded bytes of one input file.
class InputData {
 public:
  InputData() = default;
  InputData(const InputData&) = delete;
  InputData& operator=(const InputData&) = delete;
  InputData(InputData&& other) noexcept { swap(other); }
  InputData& operator=(InputData&& other) noexcept {
    swap(other);
    return *this;
  }
  ~InputData() { release(); }

  // Allocates `capacity` bytes; false when that memory cannot be had.
  bool allocate(std::size_t capacity);
  uint8_t* buffer() { return data_; }
  std::size_t capacity() const { return capacity_; }
  void set_size(std::size_t n) { size_ = n; }
  std::span<const uint8_t> bytes() const { return {data_, size_}; }

  // Copies bytes [at, at + n) of the file into `out` by reading it again,
  // which for a mapped file in the page cache beats touching the mapping
  // (no page tables to fill); false when that cannot be done, and the
  // caller reads bytes() instead.
  bool read_at(std::size_t at, uint8_t* out, std::size_t n) const;
  // Fills in the page tables of a mapped file before a pass that reads all
  // of it through bytes(); a hint that may do nothing.
  void populate() const;
  // The same for bytes [at, at + n): true when their page tables were filled
  // in, and reading them through bytes() now costs no faults.
  bool populate(std::size_t at, std::size_t n) const;
  // Whether the system keeps the file's page holding byte `at` in a large
  // page and maps it so (filling in that one entry to see); false when it
  // cannot tell.
  bool in_large_page(std::size_t at) const;

 private:
  // Takes over `length` bytes of a read-only mapping of the input file.
  // Only the platform's read_input makes one.
  void adopt_mapping(uint8_t* p, std::size_t length);
  friend LoadStatus read_input(InputFile& file, InputData& data);

  void release();
  void swap(InputData& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(handle_, other.handle_);
  }
  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  intptr_t handle_ = -1;  // the mapped file, kept open for read_at
};

enum class LoadStatus {
  kLoaded,
  kOpenFailed,  // missing, unreadable, or not a file that can be scanned
  kTooLarge,    // longer than kInputMax
  kNoMemory,
};

// Opened input, between the open and the read.
struct InputFile {
  LoadStatus status = LoadStatus::kOpenFailed;
  int64_t length = 0;  // as the system reports it
  FileId id;
  intptr_t handle = -1;  // platform file handle while open
};

// Opens `path` for reading without ever blocking: directories, FIFOs,
// sockets and character devices are refused. Regular files and block devices
// are accepted.
InputFile open_input(const std::string& path);

// Reads the opened file into `data` (at most its reported length; a shorter
// read keeps only what was read) and closes it.
LoadStatus read_input(InputFile& file, InputData& data);

// Closes a file that will not be read.
void close_input(InputFile& file);

}  // namespace vexlo
