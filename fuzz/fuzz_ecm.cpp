// ECM images: the walk over the records and the decoding into the image.
// Nothing may read out of bounds, hang or allocate without limit; the size
// the walk finds is bounded by the file's (a stored sector gives at most
// 2352 bytes for 2051) and is exactly what decoding hands over.
#include <cstdint>
#include <vector>

#include "disc/ecm.h"
#include "fuzz/check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const std::span<const uint8_t> file(bytes, size);
  uint64_t bin_size = 0;
  const vexlo::ecm::Outcome walked = vexlo::ecm::measure(file, &bin_size);
  uint64_t handed = 0;
  const vexlo::ecm::Outcome o =
      vexlo::ecm::decode(file, [&](const uint8_t* p, std::size_t n) {
        FUZZ_CHECK(n == 0 || p != nullptr);
        handed += n;
        return true;
      });
  if (walked != vexlo::ecm::Outcome::kOk) {
    FUZZ_CHECK(o == walked);
    return 0;
  }
  FUZZ_CHECK(bin_size * 2051 <= uint64_t{size} * 2352);
  FUZZ_CHECK(handed == bin_size);
  FUZZ_CHECK(o == vexlo::ecm::Outcome::kOk ||
             o == vexlo::ecm::Outcome::kChecksum);
  std::vector<uint8_t> bin(bin_size);
  FUZZ_CHECK(vexlo::ecm::decode(file, bin) == o);
  return 0;
}
