// Runs a fuzz target's checks over saved inputs, without libFuzzer: each
// argument is a file, or a folder whose regular files are read (recursively).
// A failed check aborts as it does under the fuzzer. A folder holding no file
// fails too, so a misnamed corpus cannot pass by being empty.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, so ASan sees reads past its end.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    std::fprintf(stderr, "%s\n", file.c_str());
    static const std::uint8_t none = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &none : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <input file or folder>...\n", argv[0]);
        return 2;
    }
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            std::vector<std::filesystem::path> files;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(path, error))
                if (entry.is_regular_file()) files.push_back(entry.path());
            if (error || files.empty()) {
                std::fprintf(stderr, "no inputs in %s\n", path.c_str());
                return 1;
            }
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                if (!replay(file)) return 1;
                ++count;
            }
        } else {
            if (!replay(path)) return 1;
            ++count;
        }
    }
    std::fprintf(stderr, "%zu inputs replayed\n", count);
    return 0;
}
