// A buffer for bytes read from files.
//
// The system's copy out of the page cache runs several times slower on some
// CPUs when the destination is not on the source's 64-byte alignment, and
// page cache pages start on a page. A buffer from new[] or a vector starts
// 16 bytes into a page at best, so everything that receives file bytes
// (read, pread, a decoder's copy of a file's block) uses this one instead:
// 64-byte aligned, and page aligned from a page up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

namespace vexlo {

class AlignedBuffer {
 public:
  static constexpr std::size_t kAlign = 64;
  static constexpr std::size_t kPage = 4096;

  AlignedBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had.
  explicit AlignedBuffer(std::size_t size) { resize(size); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  AlignedBuffer(AlignedBuffer&& other) noexcept { swap(other); }
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
      release();
      swap(other);
    }
    return *this;
  }
  ~AlignedBuffer() { release(); }

  // Makes the size `size`. Memory is only ever added, never given back until
  // the buffer goes, so a buffer reused for inputs of many sizes allocates
  // a few times in all. What the bytes hold after a resize is unspecified:
  // every user fills them before reading them. False (and nothing changed)
  // when the memory cannot be had.
  bool try_resize(std::size_t size) noexcept {
    if (size > capacity_) {
      const std::size_t align = size >= kPage ? kPage : kAlign;
      // Rounded up to the alignment so that the last piece of a read may
      // be a whole vector.
      if (size > SIZE_MAX - align) return false;
      const std::size_t capacity = (size + align - 1) & ~(align - 1);
      void* p =
          ::operator new (capacity, std::align_val_t{align}, std::nothrow);
      if (p == nullptr) return false;
      release();
      data_ = static_cast<uint8_t*>(p);
      capacity_ = capacity;
      align_ = align;
    }
    size_ = size;
    return true;
  }
  // As try_resize; throws std::bad_alloc instead of returning false.
  void resize(std::size_t size) {
    if (!try_resize(size)) throw std::bad_alloc();
  }

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Bytes the buffer can hold without allocating.
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::span<uint8_t> span() { return {data_, size_}; }
  std::span<const uint8_t> span() const { return {data_, size_}; }
  operator std::span<uint8_t>() { return span(); }
  operator std::span<const uint8_t>() const { return span(); }

 private:
  void release() noexcept {
    if (data_ != nullptr) ::operator delete (data_, std::align_val_t{align_});
    data_ = nullptr;
    size_ = capacity_ = 0;
  }
  void swap(AlignedBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(align_, other.align_);
  }

  uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t align_ = kAlign;
};

}  // namespace vexlo
