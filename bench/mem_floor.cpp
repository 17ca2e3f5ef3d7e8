// The memory floor of the whole-process benchmark: maps a file as the tool
// does and reads every byte once with the widest vector loads the CPU has,
// on one thread. No scan of a cached file can be cheaper than this by much.
//   vexlo_mem_floor FILE
// Prints a checksum, so that the loads cannot be left out.
#include <fcntl.h>
#include <immintrin.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

__attribute__((target("avx512bw"))) uint64_t fold_avx512(const uint8_t* p,
                                                         std::size_t n) {
  __m512i a = _mm512_setzero_si512(), b = a, c = a, d = a;
  std::size_t i = 0;
  for (; i + 256 <= n; i += 256) {
    a = _mm512_xor_si512(a, _mm512_loadu_si512(p + i));
    b = _mm512_xor_si512(b, _mm512_loadu_si512(p + i + 64));
    c = _mm512_xor_si512(c, _mm512_loadu_si512(p + i + 128));
    d = _mm512_xor_si512(d, _mm512_loadu_si512(p + i + 192));
  }
  a = _mm512_xor_si512(_mm512_xor_si512(a, b), _mm512_xor_si512(c, d));
  uint64_t lanes[8];
  _mm512_storeu_si512(lanes, a);
  uint64_t x = 0;
  for (uint64_t l : lanes) x ^= l;
  for (; i < n; ++i) x ^= p[i];
  return x;
}

__attribute__((target("avx2"))) inline __m256i at(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) uint64_t fold_avx2(const uint8_t* p,
                                                   std::size_t n) {
  __m256i a = _mm256_setzero_si256(), b = a, c = a, d = a;
  std::size_t i = 0;
  for (; i + 128 <= n; i += 128) {
    a = _mm256_xor_si256(a, at(p + i + 0));
    b = _mm256_xor_si256(b, at(p + i + 32));
    c = _mm256_xor_si256(c, at(p + i + 64));
    d = _mm256_xor_si256(d, at(p + i + 96));
  }
  a = _mm256_xor_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d));
  uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), a);
  uint64_t x = lanes[0] ^ lanes[1] ^ lanes[2] ^ lanes[3];
  for (; i < n; ++i) x ^= p[i];
  return x;
}

uint64_t fold_sse2(const uint8_t* p, std::size_t n) {
  __m128i a = _mm_setzero_si128(), b = a;
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a = _mm_xor_si128(a,
                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    b = _mm_xor_si128(
        b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
  }
  a = _mm_xor_si128(a, b);
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), a);
  uint64_t x = lanes[0] ^ lanes[1];
  for (; i < n; ++i) x ^= p[i];
  return x;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const std::size_t n = static_cast<std::size_t>(st.st_size);
  uint64_t x = 0;
  const char* how = "none";
  if (n > 0) {
    // Mapped with its page tables filled in one go, the cheapest way to
    // reach a cached file's bytes from one thread.
    void* m = ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (m == MAP_FAILED) {
      std::perror("mmap");
      return 1;
    }
    const auto* p = static_cast<const uint8_t*>(m);
    if (__builtin_cpu_supports("avx512bw")) {
      x = fold_avx512(p, n);
      how = "avx512";
    } else if (__builtin_cpu_supports("avx2")) {
      x = fold_avx2(p, n);
      how = "avx2";
    } else {
      x = fold_sse2(p, n);
      how = "sse2";
    }
    ::munmap(m, n);
  }
  ::close(fd);
  std::printf("%s %016llx\n", how, static_cast<unsigned long long>(x));
  return 0;
}
