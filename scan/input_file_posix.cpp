#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "scan/input_file.h"

namespace vexlo {

bool InputData::allocate(std::size_t capacity) {
  release();
  if (capacity == 0) return true;
  void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<uint8_t*>(p);
  capacity_ = capacity;
  return true;
}

void InputData::release() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
  data_ = nullptr;
  size_ = capacity_ = 0;
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
    return f;
  }
  f.id.device = static_cast<uint64_t>(st.st_dev);
  f.id.inode = static_cast<uint64_t>(st.st_ino);
  f.length = length;
  f.handle = fd;
  f.status = length > kInputMax ? LoadStatus::kTooLarge : LoadStatus::kLoaded;
  return f;
}

LoadStatus read_input(InputFile& file, InputData& data) {
  const std::size_t want = static_cast<std::size_t>(file.length);
  LoadStatus status = LoadStatus::kLoaded;
  if (!data.allocate(want)) {
    status = LoadStatus::kNoMemory;
  } else {
    // Back to blocking reads now that the file is known to be a file.
    const int fd = static_cast<int>(file.handle);
    ::fcntl(fd, F_SETFL, 0);
    std::size_t got = 0;
    while (got < want) {
      const ssize_t n = ::read(fd, data.buffer() + got, want - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    data.set_size(got);
  }
  close_input(file);
  return status;
}

void close_input(InputFile& file) {
  if (file.handle >= 0) ::close(static_cast<int>(file.handle));
  file.handle = -1;
}

}  // namespace vexlo
