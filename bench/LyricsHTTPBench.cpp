// The lookup's HTTP path on loopback, for bench/lyrics_http.sh.
//   bench_lyrics_http get URL COUNT   COUNT sequential getJSON calls of URL
//                                     with "&n=<i>" appended; prints
//                                     "getJSON requests/s: R (D decoded)"
//   bench_lyrics_http fetch URL COUNT the same through the session alone (no
//                                     JSON decoding): "fetch requests/s: R"
//   bench_lyrics_http hang ORIGIN N   N lrclib lookups at once against a
//                                     listener that never answers; prints the
//                                     resident memory before and while they hang
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/system/ProcessSetup.h"

using namespace veltrane::lyrics;

namespace {

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::string(field).size());
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    // As the deck's host runs.
    veltrane::sys::ignoreSigpipe();
    veltrane::sys::keepFreedHeapMemory();
    if (argc != 4) {
        std::fputs("usage: bench_lyrics_http get|fetch URL COUNT | hang ORIGIN N\n", stderr);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string target = argv[2];
    const int count = std::atoi(argv[3]);
    if (mode == "get") {
        int decoded = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            if (LyricsLookup::getJSON(target + "&n=" + std::to_string(i), std::nullopt, 2.2)) ++decoded;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("getJSON requests/s: %.0f (%d decoded)\n", count / seconds, decoded);
        return decoded == count ? 0 : 1;
    }
    if (mode == "fetch") {
        int fetched = 0;
        veltrane::http::GetRequest request;
        request.timeout = std::chrono::milliseconds(2200);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) {
            request.url = target + "&n=" + std::to_string(i);
            if (LyricsLookup::session().get(request)) ++fetched;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("fetch requests/s: %.0f (%d fetched)\n", count / seconds, fetched);
        return fetched == count ? 0 : 1;
    }
    if (mode == "hang") {
        ::setenv(LyricsEndpoints::kVariable, ("{\"lrclib\":\"" + target + "\"}").c_str(), 1);
        LyricsLookup::session();
        const long before = statusKiB("VmRSS:");
        std::vector<std::thread> lookups;
        for (int i = 0; i < count; ++i) {
            lookups.emplace_back(
                [i] { LyricsLookup::lrclib("Song " + std::to_string(i), "Artist", std::nullopt, 200); });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const long hanging = statusKiB("VmRSS:");
        for (auto& t : lookups) t.join();
        std::printf("resident KiB: %ld before, %ld with %d lookups hanging, peak %ld\n", before, hanging, count,
                    statusKiB("VmHWM:"));
        return 0;
    }
    std::fputs("usage: bench_lyrics_http get|fetch URL COUNT | hang ORIGIN N\n", stderr);
    return 2;
}
