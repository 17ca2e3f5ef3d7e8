// Packs raw images into the containers of the PBP and ECM benchmarks, with
// the tests' fixture writers.
//   vexlo_bench_pack pbp|ecm IN.bin OUT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/disc_container_writer.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s pbp|ecm IN.bin OUT\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  vexlo::test::Bytes bin(std::istreambuf_iterator<char>(in), {});
  const std::string kind = argv[1];
  const vexlo::test::Bytes out = kind == "pbp"
                                     ? vexlo::test::make_pbp({{std::move(bin)}})
                                     : vexlo::test::ecm_encode(bin);
  std::ofstream(argv[3], std::ios::binary)
      .write(reinterpret_cast<const char*>(out.data()),
             static_cast<std::streamsize>(out.size()));
  return 0;
}
