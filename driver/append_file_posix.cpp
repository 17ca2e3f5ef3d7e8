#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "driver/append_file.h"

namespace vexlo {

bool AppendFile::open(const std::string& name, FileId* id) {
  close();
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader.
  const int fd =
      ::open(name.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  id->device = static_cast<uint64_t>(st.st_dev);
  id->inode = static_cast<uint64_t>(st.st_ino);
  handle_ = fd;
  return true;
}

bool AppendFile::append(std::string_view bytes) {
  if (handle_ == kClosed) return false;
  const int fd = static_cast<int>(handle_);
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool AppendFile::close() {
  if (handle_ == kClosed) return true;
  const int fd = static_cast<int>(handle_);
  handle_ = kClosed;
  return ::close(fd) == 0;
}

}  // namespace vexlo
