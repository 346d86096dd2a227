// Times the LRC parser over the files of a folder in this process: 2 warm-up
// passes, then the median of 5 timed passes. Prints "veltrane MB/s: <figure>".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ControlDeckCore/lyrics/LRCParser.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_lrc_parse FOLDER\n");
        return 2;
    }
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.path().extension() == ".lrc") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::string> texts;
    std::size_t bytes = 0;
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        bytes += texts.back().size();
    }
    if (texts.empty()) {
        std::fprintf(stderr, "bench_lrc_parse: no .lrc files in %s\n", argv[1]);
        return 1;
    }

    std::size_t lines = 0;
    auto pass = [&] {
        const auto start = std::chrono::steady_clock::now();
        for (const auto& text : texts) lines += veltrane::lyrics::LRCParser::parse(text).size();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    pass();
    pass();
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) times.push_back(pass());
    std::sort(times.begin(), times.end());
    std::printf("veltrane MB/s: %.1f (%zu lines parsed, %zu files, %.1f MB)\n", bytes / 1e6 / times[2], lines,
                texts.size(), bytes / 1e6);
    return 0;
}
