// Feeds every file named on the command line (or found in a folder named
// there) to the harness once, as libFuzzer would: the saved corpus replayed as
// a plain test, built with any compiler. Exit status 0 when all were fed.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void Feed(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t fed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) {
          Feed(e.path());
          ++fed;
        }
    } else {
      Feed(p);
      ++fed;
    }
  }
  std::printf("%zu inputs replayed\n", fed);
  return fed > 0 ? 0 : 1;
}
