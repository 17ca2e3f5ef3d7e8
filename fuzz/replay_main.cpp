// Runs a fuzz target over files and directories of inputs without libFuzzer,
// so that the committed corpora replay as ordinary tests with any compiler.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc,
                                                          char*** argv);

namespace fs = std::filesystem;

namespace {

void replay(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  const std::vector<char> bytes(std::istreambuf_iterator<char>(f), {});
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()),
                         bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> inputs;
    if (fs::is_directory(argv[i])) {
      for (const auto& e : fs::directory_iterator(argv[i]))
        if (e.is_regular_file()) inputs.push_back(e.path());
      std::sort(inputs.begin(), inputs.end());
    } else {
      inputs.emplace_back(argv[i]);
    }
    for (const fs::path& p : inputs) {
      replay(p);
      ++count;
    }
  }
  std::fprintf(stderr, "replayed %zu inputs\n", count);
  // An empty corpus means the test ran on nothing: a broken set-up.
  return count > 0 ? 0 : 1;
}
