// Runs a fuzz target over files instead of under libFuzzer, so that the seed
// corpus and every committed crash input are replayed by CTest in every build,
// with any compiler. A failed property aborts, which fails the test.
//
// Usage: <target>_replay <file or directory>...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<char> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path path(argv[i]);
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else if (fs::is_regular_file(path)) {
      inputs.push_back(path);
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& input : inputs) {
    // Named before it runs: a failing input aborts the process.
    std::fprintf(stderr, "replay: %s\n", input.c_str());
    const std::vector<char> bytes = ReadFile(input);
    // An empty vector's data() may be null, which libFuzzer never passes.
    static const std::uint8_t kNothing = 0;
    LLVMFuzzerTestOneInput(
        bytes.empty() ? &kNothing : reinterpret_cast<const std::uint8_t*>(bytes.data()),
        bytes.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return 0;
}
