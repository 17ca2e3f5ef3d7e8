// The decode floor of a PBP scan: every block of every disc inflated on
// THREADS threads (default: one per core), and nothing else (no stream, no
// scan).
//   vexlo_pbp_floor FILE.pbp [THREADS]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "disc/pbp.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s FILE.pbp [THREADS]\n", argv[0]);
    return 2;
  }
  unsigned threads = std::thread::hardware_concurrency();
  if (argc == 3) threads = static_cast<unsigned>(std::atoi(argv[2]));
  if (threads == 0) threads = 1;
  const int fd = open(argv[1], O_RDONLY);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return 1;
  const auto size = static_cast<std::size_t>(st.st_size);
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return 1;
  const std::span<const uint8_t> file(static_cast<const uint8_t*>(p), size);
  namespace pbp = vexlo::pbp;
  pbp::Image image;
  pbp::Refusal why;
  if (!pbp::open_image(file, image, &why)) {
    std::fprintf(stderr, "%s\n", pbp::refusal_text(why).c_str());
    return 1;
  }
  std::size_t blocks = 0;
  std::atomic<uint32_t> damaged{0};
  for (const pbp::Disc& disc : image.discs) {
    std::atomic<uint32_t> next{0};
    auto work = [&] {
      pbp::BlockDecoder decoder;
      std::vector<uint8_t> block(pbp::kBlockBytes);
      for (uint32_t n = next++; n < disc.blocks.size(); n = next++)
        if (!decoder.decode(file, disc, n, block)) ++damaged;
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    blocks += disc.blocks.size();
  }
  std::printf("%zu blocks, %u damaged\n", blocks, damaged.load());
  return 0;
}
