// replay_main.cpp - runs the fuzzer's body once per file under the
// directories named on the command line, for builds without libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i)
        for (const auto& file : std::filesystem::recursive_directory_iterator(argv[i])) {
            if (!file.is_regular_file()) continue;
            std::ifstream in(file.path(), std::ios::binary);
            const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), ++replayed;
        }
    std::printf("replayed %zu inputs\n", replayed);
    return replayed == 0;
}
