// Times the play-queue reading of one archive's bytes in this process (the
// file read once beforehand): 2 warm-up passes, then the median of 5.
// Prints "veltrane ms: <figure> entries: <count>".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ControlDeckCore/media/QQPlayQueue.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_qq_play_queue ARCHIVE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::size_t entries = 0;
    const auto pass = [&] {
        const auto started = std::chrono::steady_clock::now();
        const auto tracks = veltrane::media::QQNowPlaying::parseLibraryArchive(bytes);
        entries = tracks ? tracks->size() : 0;
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    };
    pass();
    pass();
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) times.push_back(pass());
    std::sort(times.begin(), times.end());
    std::printf("veltrane ms: %.2f entries: %zu\n", times[2], entries);
    return entries > 0 ? 0 : 1;
}
