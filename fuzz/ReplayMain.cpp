// Runs one fuzz target over saved inputs, without libFuzzer: every file named on the command
// line, and every file under every folder named (notes ending in ".md" excepted), in name
// order. A broken check or a fault ends the program as it would end the fuzzer, naming the
// input first, so a regression shows which file brought it back.
//
//   replay_<target> PATH...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsUnder(const fs::path& path) {
    std::vector<fs::path> inputs;
    if (!fs::is_directory(path)) {
        inputs.push_back(path);
        return inputs;
    }
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
        if (entry.is_regular_file() && entry.path().extension() != ".md") inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
        return 2;
    }
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path root = argv[i];
        std::error_code error;
        if (!fs::exists(root, error)) {
            std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
            return 2;
        }
        for (const fs::path& input : InputsUnder(root)) {
            std::ifstream in(input, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (!in.good() && !in.eof()) {
                std::fprintf(stderr, "%s: cannot be read\n", input.string().c_str());
                return 2;
            }
            std::fprintf(stderr, "%s\n", input.string().c_str());
            // A copy of exactly the input's size, so that a read past its end is one past a block.
            const std::vector<uint8_t> exact(bytes);
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
            ++count;
        }
    }
    std::printf("%zu inputs replayed\n", count);
    return 0;
}
