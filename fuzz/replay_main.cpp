// Runs a fuzz target once per seed file without libFuzzer: the corpora are every build's regression inputs.
#include <cstdint>
#include <filesystem>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  int inputs = 0;
  for (const auto& e : std::filesystem::directory_iterator(argc > 1 ? argv[1] : ".")) {
    std::ifstream in(e.path(), std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), {});
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()), ++inputs;
  }
  return inputs > 0 ? 0 : 1;
}
