// Loading one input file whole into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/aligned_buffer.h"
#include "platform/file_id.h"

namespace vexlo {

// Largest input the tool handles: offsets and sizes are signed 32-bit.
constexpr int64_t kInputMax = 2147483647;

// Regular files up to this size are read whole, in one read, into a buffer
// that the next such file reuses: a tree search meets thousands of them, and
// mapping one costs more calls than reading it. Larger files are mapped.
constexpr std::size_t kSmallInput = std::size_t{512} << 10;

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
  // The same for a small file: the buffer the last small file was read into
  // (64-byte aligned, its pages already in memory) when there is one.
  bool allocate_small(std::size_t capacity);
  uint8_t* buffer() { return data_; }
  std::size_t capacity() const { return capacity_; }
  void set_size(std::size_t n) { size_ = n; }
  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  // Whether bytes() is a mapping of the file, which read_at, populate and
  // in_large_page work on; false for bytes read into memory.
  bool mapped() const { return handle_ >= 0; }

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
  // Hands the small-file buffer on to the next small file.
  void give_back_small();
  void swap(InputData& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(handle_, other.handle_);
    std::swap(small_, other.small_);
  }
  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  intptr_t handle_ = -1;  // the mapped file, kept open for read_at
  AlignedBuffer small_;   // holds the bytes of a small file read whole
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
  bool regular = false;  // a regular file, not a device
  // Opened, but a pipe, console or other device: a tree search passes over
  // it without a word, as it does the ones its listing already knows.
  bool special = false;
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

// The first out.size() bytes of the opened `file`, before (or instead of)
// read_input; false when it holds fewer. read_input still reads from the
// start.
bool read_head(const InputFile& file, std::span<uint8_t> out);

}  // namespace vexlo
