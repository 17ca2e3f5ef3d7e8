// The decode floor of a CHD scan: every hunk of the CHD decoded with the
// same libraries on all cores, and nothing else (no data stream, no scan).
//   vexlo_chd_floor FILE.chd
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "disc/chd.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE.chd\n", argv[0]);
    return 2;
  }
  const int fd = open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  const auto size = static_cast<std::size_t>(st.st_size);
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return 1;
  const std::span<const uint8_t> file(static_cast<const uint8_t*>(p), size);
  vexlo::chd::Image image;
  vexlo::chd::Refusal why;
  if (!vexlo::chd::open_image(file, image, &why)) {
    std::fprintf(stderr, "%s\n", vexlo::chd::refusal_text(why, 0).c_str());
    return 1;
  }
  std::atomic<uint32_t> next{0};
  std::atomic<uint32_t> damaged{0};
  auto work = [&] {
    vexlo::chd::HunkDecoder decoder(image);
    decoder.set_reader([fd](uint64_t at, std::size_t n, uint8_t* out) {
      return pread(fd, out, n, static_cast<off_t>(at)) ==
             static_cast<ssize_t>(n);
    });
    std::vector<uint8_t> hunk(image.hunk_bytes);
    for (uint32_t n = next++; n < image.map.size(); n = next++)
      if (!decoder.decode(file, n, hunk)) ++damaged;
  };
  std::vector<std::thread> threads;
  for (unsigned t = 1; t < std::thread::hardware_concurrency(); ++t)
    threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  std::printf("%zu hunks, %u damaged\n", image.map.size(), damaged.load());
  return 0;
}
