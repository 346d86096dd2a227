// The lyrics front beside the same requests made straight to lrclib, for
// bench/lyrics_lookup.sh.
//   bench_lyrics_lookup front ORIGIN COUNT TRACKS   COUNT fetches over TRACKS
//                                                   tracks through the front
//   bench_lyrics_lookup direct ORIGIN COUNT TRACKS  the same COUNT lrclib
//                                                   lookups, each on a thread
//                                                   of a queue like the front's
// Each prints "<mode> wall_s: W peak_threads: P answered: A". The endpoints
// all point at ORIGIN; the content policy allows lookups.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "ControlDeckCore/lyrics/LyricsService.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/system/ProcessSetup.h"

using namespace veltrane;
using namespace veltrane::lyrics;

namespace {

int threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

// Samples the thread count until stopped; the peak.
class PeakThreads {
public:
    PeakThreads()
        : sampler_([this] {
              while (!stop_) {
                  peak_ = std::max(peak_.load(), threads());
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {}
    int finish() {
        stop_ = true;
        sampler_.join();
        return peak_ - 1;  // the sampler's own thread
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> peak_{0};
    std::thread sampler_;
};

class Countdown {
public:
    explicit Countdown(int n) : left_(n) {}
    void done() {
        std::lock_guard lock(mutex_);
        if (--left_ == 0) zero_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        zero_.wait(lock, [&] { return left_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable zero_;
    int left_;
};

}  // namespace

int main(int argc, char** argv) {
    sys::ignoreSigpipe();
    if (argc != 5) {
        std::fputs("usage: bench_lyrics_lookup front|direct ORIGIN COUNT TRACKS\n", stderr);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string origin = argv[2];
    const int count = std::atoi(argv[3]);
    const int tracks = std::atoi(argv[4]);
    if ((mode != "front" && mode != "direct") || count < 1 || tracks < 1) {
        std::fputs("usage: bench_lyrics_lookup front|direct ORIGIN COUNT TRACKS\n", stderr);
        return 2;
    }
    LyricsSources sources = LyricsSources::standard();
    sources.externalLookupsAllowed = [] { return true; };
    sources.endpoints = [origin] {
        LyricsEndpoints e;
        e.lrclib = e.qqSearch = e.qqApi = e.qqSite = e.catalog = e.qqImage = origin;
        return e;
    };
    LyricsService::install(LyricsService::create(std::move(sources)));

    Countdown left(count);
    std::atomic<int> answered{0};
    PeakThreads peak;
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<dispatch::ConcurrentQueue> queue;
    if (mode == "direct") queue = dispatch::ConcurrentQueue::create("bench.direct", 256);
    for (int i = 0; i < count; ++i) {
        const std::string title = "Song " + std::to_string(i % tracks);
        if (queue) {
            queue->async([&, title] {
                if (LyricsLookup::lrclib(title, "Artist", "Album", 200)) ++answered;
                left.done();
            });
        } else {
            LyricsLookup::fetch(title, "Artist", "Album", 200, "org.example.Player", std::nullopt, nullptr,
                                [&](const OptionalSnapshot& s) {
                                    if (LyricsLookup::usable(s)) ++answered;
                                    left.done();
                                });
        }
    }
    left.wait();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s wall_s: %.3f peak_threads: %d answered: %d\n", mode.c_str(), wall, peak.finish(), answered.load());
    std::fflush(stdout);
    std::_Exit(0);  // idle lookup threads need not be waited for
}
