#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/aligned_buffer.h"
#include "platform/file_ops.h"

namespace vexlo {

bool file_id_of(const std::string& path, FileId* id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  id->device = static_cast<uint64_t>(st.st_dev);
  id->inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

namespace {

bool write_all(int fd, const uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

#ifndef O_PATH
#define O_PATH O_RDONLY  // opening a directory to look things up in it
#endif

// The folder outputs go to, kept open: thousands of outputs are made there
// by their last names, without walking the folder's path for each.
struct OutputFolder {
  std::mutex mutex;
  std::string path;
  int fd = -1;
};
OutputFolder g_folder;

// open(name, flags, 0666), with `name` looked up in its folder kept open.
int open_in_folder(const std::string& name, int flags) {
  const std::size_t cut = name.rfind('/');
  if (cut == std::string::npos || cut + 1 == name.size())
    return ::open(name.c_str(), flags, 0666);
  const std::string_view folder(name.data(), cut == 0 ? 1 : cut);
  const std::lock_guard<std::mutex> lock(g_folder.mutex);
  if (g_folder.fd < 0 || g_folder.path != folder) {
    const int fd =
        ::open(std::string(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    // A folder that cannot be opened: the name fails (or not) as before.
    if (fd < 0) return ::open(name.c_str(), flags, 0666);
    if (g_folder.fd >= 0) ::close(g_folder.fd);
    g_folder.fd = fd;
    g_folder.path = folder;
  }
  return ::openat(g_folder.fd, name.c_str() + cut + 1, flags, 0666);
}

}  // namespace

bool open_output(const std::string& name, OutputHandle* out,
                 const FileId* protect, bool want_id) {
  // Most outputs are new files: one made here cannot be the input, a FIFO
  // or a device, and has nothing to empty. A name already there (or a link)
  // is opened as it is, looked at through the descriptor, and emptied only
  // once it is known to be a regular file other than the input.
  // O_NONBLOCK: opening a FIFO for writing would otherwise wait for a reader.
  constexpr int kFlags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
  int fd = open_in_folder(name, kFlags | O_EXCL);
  const bool made = fd >= 0;
  if (!made) fd = open_in_folder(name, kFlags);
  if (fd < 0) return false;
  if (made && !want_id) {
    out->native = fd;
    return true;
  }
  struct stat st;
  FileId id;
  const bool file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (file) {
    id.device = static_cast<uint64_t>(st.st_dev);
    id.inode = static_cast<uint64_t>(st.st_ino);
  }
  if (!file || (!made && protect != nullptr && id == *protect) ||
      (!made && st.st_size != 0 && ::ftruncate(fd, 0) != 0)) {
    ::close(fd);
    if (made) ::unlink(name.c_str());
    return false;
  }
  out->native = fd;
  out->id = id;
  return true;
}

bool write_output(const OutputHandle& out, std::span<const uint8_t> bytes) {
  return write_all(static_cast<int>(out.native), bytes.data(), bytes.size());
}

bool close_output(const OutputHandle& out, const std::string& name, bool keep) {
  if (::close(static_cast<int>(out.native)) != 0 || !keep) {
    ::unlink(name.c_str());
    return false;
  }
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

namespace {

// Copies every byte of `in` (of `size` bytes) to `out` from the start.
bool copy_bytes(int in, int out, uint64_t size) {
  uint64_t done = 0;
#ifdef __linux__
  // Inside the kernel, sharing blocks where the file system can.
  while (done < size) {
    const ssize_t n = ::copy_file_range(
        in, nullptr, out, nullptr,
        static_cast<std::size_t>(std::min<uint64_t>(size - done, 1u << 30)), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  if (done == size) return true;
  // Not supported here (or cut short): read and write the rest.
  if (::lseek(in, static_cast<off_t>(done), SEEK_SET) < 0 ||
      ::lseek(out, static_cast<off_t>(done), SEEK_SET) < 0)
    return false;
#endif
  AlignedBuffer buf;
  if (!buf.try_resize(std::size_t{1} << 20)) return false;
  while (done < size) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (!write_all(out, buf.data(), static_cast<std::size_t>(n))) return false;
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool pwrite_all(int fd, std::span<const uint8_t> bytes, uint64_t at) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(at + done));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

bool copy_with_patches(const std::string& from, const std::string& to,
                       std::span<const FilePatch> patches, FileId* id) {
  const int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  OutputHandle out;
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || !open_output(to, &out)) {
    ::close(in);
    return false;
  }
  const int fd = static_cast<int>(out.native);
  bool ok = copy_bytes(in, fd, static_cast<uint64_t>(st.st_size));
  ::close(in);
  for (const FilePatch& p : patches)
    ok = ok && pwrite_all(fd, p.bytes, p.offset);
  if (!close_output(out, to, ok)) return false;
  *id = out.id;
  return true;
}

std::string unreadable_reason(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat st;
  const int err = ::fstat(fd, &st) != 0 ? errno : 0;
  ::close(fd);
  if (err != 0) return std::strerror(err);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return "not a file";
  return {};
}

bool remove_file(const std::string& name) {
  return ::unlink(name.c_str()) == 0;
}

bool read_small_file(const std::string& name, std::size_t limit,
                     std::string* text) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  text->clear();
  alignas(AlignedBuffer::kAlign) char buf[65536];
  while (text->size() < limit) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text->append(buf, static_cast<std::size_t>(n));
  }
  if (text->size() > limit) text->resize(limit);
  ::close(fd);
  return true;
}

}  // namespace vexlo
