#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/input_file.h"

namespace vexlo {

namespace {

// Regular files are mapped rather than read: the data is then the page cache
// itself, with no copy and no freshly faulted buffer, which is most of the
// cost of loading a file that is already cached.
//
// A mapped file that another program truncates while we scan it would raise
// SIGBUS on the next touch of a page past its new end. The handler below
// replaces the rest of the mapping with zero pages and lets the faulting
// load run again, so the scan goes on over zeros instead of crashing. One
// mapping is guarded at a time; a second concurrent load falls back to read.
// The handler is set once, with the first mapping, and stays: a fault
// outside the guarded mapping goes on to the action that was there before.
std::atomic<uintptr_t> g_guard_begin{0};
std::atomic<uintptr_t> g_guard_end{0};
uintptr_t g_page_mask = 0;
struct sigaction g_previous_action;
bool g_handler_set = false;  // changed only while holding the guard

void restore_previous_action() {
  ::sigaction(SIGBUS, &g_previous_action, nullptr);
  g_handler_set = false;
}

void on_sigbus(int sig, siginfo_t* info, void*) {
  const uintptr_t begin = g_guard_begin.load(std::memory_order_relaxed);
  const uintptr_t end = g_guard_end.load(std::memory_order_relaxed);
  const uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
  if (info->si_code > 0 && begin != 0 && addr >= begin && addr < end) {
    const uintptr_t page = addr & g_page_mask;
    void* p = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (p != MAP_FAILED) return;
  }
  // Not ours: whatever was there before handles it (by default, the end).
  restore_previous_action();
  if (info->si_code <= 0) ::raise(sig);  // sent, not a fault: send it again
}

// The system's page size; 0 when it cannot be had.
uintptr_t page_size() {
  static const uintptr_t page = [] {
    const long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 && (n & (n - 1)) == 0 ? static_cast<uintptr_t>(n) : 0;
  }();
  return page;
}

bool guard_mapping(uint8_t* p, std::size_t length) {
  uintptr_t idle = 0;
  if (!g_guard_begin.compare_exchange_strong(idle, 1)) return false;
  const uintptr_t page = page_size();
  if (page == 0) {
    g_guard_begin.store(0);
    return false;
  }
  g_page_mask = ~(page - 1);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t end = (begin + length + page - 1) & g_page_mask;
  if (!g_handler_set) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(SIGBUS, &sa, &g_previous_action) != 0) {
      g_guard_begin.store(0);
      return false;
    }
    g_handler_set = true;
  }
  g_guard_end.store(end);
  g_guard_begin.store(begin);
  return true;
}

void unguard_mapping(const uint8_t* p) {
  if (g_guard_begin.load() != reinterpret_cast<uintptr_t>(p)) return;
  g_guard_end.store(0);
  g_guard_begin.store(0);
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Maps `want` bytes of the regular file `fd`, guarded; null when the file
// cannot be mapped, and the caller reads it instead. `*got` is how many of
// the bytes the file still has.
uint8_t* map_input(int fd, std::size_t want, std::size_t* got) {
  // Not populated: the candidate search reads the file with pread, so that
  // only the pages of candidates and TIMs are ever mapped (a raw disc
  // image's pass asks for all of them, see populate).
  void* p = ::mmap(nullptr, want, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return nullptr;
  uint8_t* bytes = static_cast<uint8_t*>(p);
  if (!guard_mapping(bytes, want)) {
    ::munmap(p, want);
    return nullptr;
  }
  // The file may have shrunk since its length was taken: only the bytes it
  // still has count as read.
  struct stat st;
  *got = want;
  if (::fstat(fd, &st) == 0 && st.st_size >= 0 &&
      static_cast<uint64_t>(st.st_size) < want)
    *got = static_cast<std::size_t>(st.st_size);
  return bytes;
}

}  // namespace

bool InputData::allocate(std::size_t capacity) {
  release();
  if (capacity == 0) return true;
  // Sizes here are below 2^31 + 2 MiB, so these sums cannot overflow.
  const std::size_t rounded = (capacity + kHugePage - 1) & ~(kHugePage - 1);
  const std::size_t span = rounded + kHugePage;
  void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  // Keep a 2 MiB-aligned run of whole huge pages and give back the rest, so
  // that filling the buffer takes a fault per 2 MiB rather than per 4 KiB.
  const uintptr_t raw = reinterpret_cast<uintptr_t>(p);
  const uintptr_t start = (raw + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  const std::size_t head = static_cast<std::size_t>(start - raw);
  if (head != 0) ::munmap(p, head);
  if (span - head > rounded)
    ::munmap(reinterpret_cast<void*>(start + rounded), span - head - rounded);
  data_ = reinterpret_cast<uint8_t*>(start);
  capacity_ = rounded;
  ::madvise(data_, capacity_, MADV_HUGEPAGE);
  return true;
}

void InputData::adopt_mapping(uint8_t* p, std::size_t length) {
  release();
  data_ = p;
  capacity_ = length;
  size_ = 0;
}

void InputData::release() {
  if (data_ != nullptr && data_ == small_.data()) {
    give_back_small();
  } else if (data_ != nullptr) {
    ::munmap(data_, capacity_);
    unguard_mapping(data_);
  }
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
  data_ = nullptr;
  size_ = capacity_ = 0;
}

bool InputData::read_at(std::size_t at, uint8_t* out, std::size_t n) const {
  if (handle_ < 0 || at > size_ || n > size_ - at) return false;
  while (n > 0) {
    const ssize_t got =
        ::pread(static_cast<int>(handle_), out, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // shrunk or failed: bytes() has the rest
    const auto k = static_cast<std::size_t>(got);
    out += k;
    at += k;
    n -= k;
  }
  return true;
}

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22  // Linux 5.14; older kernels refuse it
#endif

void InputData::populate() const {
  if (handle_ >= 0 && size_ > 0) ::madvise(data_, size_, MADV_POPULATE_READ);
}

bool InputData::populate(std::size_t at, std::size_t n) const {
  const uintptr_t page = page_size();
  if (handle_ < 0 || at > size_ || n > size_ - at || n == 0 || page == 0)
    return false;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data_ + at) & ~(page - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(data_ + at + n);
  // Fails past a shrunk file's end (EFAULT) instead of raising SIGBUS.
  return ::madvise(reinterpret_cast<void*>(begin), end - begin,
                   MADV_POPULATE_READ) == 0;
}

namespace {

// The page map's scan (Linux 6.7), declared here for older headers.
struct PageRegion {
  uint64_t start, end, categories;
};
struct PageScan {
  uint64_t size, flags, start, end, walk_end, vec, vec_len, max_pages,
      category_inverted, category_mask, category_anyof_mask, return_mask;
};
constexpr unsigned long kPagemapScan = _IOWR('f', 16, PageScan);
constexpr uint64_t kPageIsHuge = 1u << 6;

int page_map() {
  static const int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  return fd;
}

}  // namespace

bool InputData::in_large_page(std::size_t at) const {
  const uintptr_t page = page_size();
  if (handle_ < 0 || at >= size_ || page == 0) return false;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data_ + at) & ~(page - 1);
  // A large page's first touch maps all of it at once.
  if (page_map() < 0 ||
      ::madvise(reinterpret_cast<void*>(begin), page, MADV_POPULATE_READ) != 0)
    return false;
  PageRegion region{};
  PageScan scan{};
  scan.size = sizeof scan;
  scan.start = begin;
  scan.end = begin + page;
  scan.vec = reinterpret_cast<uintptr_t>(&region);
  scan.vec_len = 1;
  scan.category_anyof_mask = kPageIsHuge;
  scan.return_mask = kPageIsHuge;
  return ::ioctl(page_map(), kPagemapScan, &scan) == 1 &&
         (region.categories & kPageIsHuge) != 0;
}

InputFile open_input(const std::string& path) {
  InputFile f;
  // O_NONBLOCK so that opening a FIFO returns at once; it is refused below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return f;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return f;
  }
  int64_t length = -1;
  if (S_ISREG(st.st_mode)) {
    length = st.st_size;
  } else if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0 &&
        bytes <= static_cast<uint64_t>(INT64_MAX))
      length = static_cast<int64_t>(bytes);
  }
  if (length < 0) {
    ::close(fd);
    f.special = !S_ISDIR(st.st_mode);
    return f;
  }
  f.id.device = static_cast<uint64_t>(st.st_dev);
  f.id.inode = static_cast<uint64_t>(st.st_ino);
  f.length = length;
  f.handle = fd;
  f.regular = S_ISREG(st.st_mode);
  f.status = length > kInputMax ? LoadStatus::kTooLarge : LoadStatus::kLoaded;
  return f;
}

namespace {

// Reads up to `want` bytes of `fd` into `out`; how many it got.
std::size_t read_whole(int fd, uint8_t* out, std::size_t want,
                       std::size_t piece) {
  std::size_t got = 0;
  while (got < want) {
    const std::size_t chunk = want - got < piece ? want - got : piece;
    const ssize_t n = ::read(fd, out + got, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

LoadStatus read_input(InputFile& file, InputData& data) {
  const std::size_t want = static_cast<std::size_t>(file.length);
  const int fd = static_cast<int>(file.handle);
  if (file.regular && want > kSmallInput) {
    std::size_t got = 0;
    if (uint8_t* p = map_input(fd, want, &got)) {
      data.adopt_mapping(p, want);
      data.set_size(got);
      data.handle_ = file.handle;  // now the data's, for read_at
      file.handle = -1;
      return LoadStatus::kLoaded;
    }
  }
  LoadStatus status = LoadStatus::kLoaded;
  if (file.regular && want <= kSmallInput) {
    // A regular file ignores O_NONBLOCK: one read takes it all.
    if (data.allocate_small(want))
      data.set_size(read_whole(fd, data.buffer(), want, want));
    else
      status = LoadStatus::kNoMemory;
  } else if (data.allocate(want)) {
    // Back to blocking reads: a block device may honour O_NONBLOCK.
    if (!file.regular) ::fcntl(fd, F_SETFL, 0);
    // Reads of one huge page at a time: each lands in memory just faulted
    // in, while it is still in the cache.
    data.set_size(read_whole(fd, data.buffer(), want, kHugePage));
  } else {
    status = LoadStatus::kNoMemory;
  }
  close_input(file);
  return status;
}

bool read_head(const InputFile& file, std::span<uint8_t> out) {
  if (file.handle < 0) return false;
  const ssize_t n =
      ::pread(static_cast<int>(file.handle), out.data(), out.size(), 0);
  return n >= 0 && static_cast<std::size_t>(n) == out.size();
}

void close_input(InputFile& file) {
  if (file.handle >= 0) ::close(static_cast<int>(file.handle));
  file.handle = -1;
}

}  // namespace vexlo
