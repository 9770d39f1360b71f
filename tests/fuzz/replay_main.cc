// Replays every file of the given folders (or the given files) through the fuzz entry point
// once. This keeps each parser's fuzz target exercised in the ordinary sanitizer builds,
// where libFuzzer itself is not linked.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

static int replay_file(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "replay: cannot read %s\n", p.c_str());
    return 1;
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

int main(int argc, char **argv) {
  int failures = 0;
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto &e : std::filesystem::directory_iterator(p)) {
        if (e.is_regular_file()) {
          failures += replay_file(e.path());
          ++count;
        }
      }
    } else {
      failures += replay_file(p);
      ++count;
    }
  }
  std::printf("replayed %d inputs\n", count);
  return failures ? 1 : 0;
}
