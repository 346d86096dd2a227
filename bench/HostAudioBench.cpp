// How fast a volume change made elsewhere reaches the volume adapter's
// onChange, next to how fast `pactl subscribe` (a bare event listener) sees
// the same change, on a private PulseAudio server in the same run. Both are
// timed from the moment the external `pactl set-sink-volume` is started.
//
//   bench_host_audio [rounds]     (default 40)

#include <algorithm>
#include <csignal>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
#include "platform/process/Shell.h"
#include "platform/audio/PulseAudioSystem.h"
#include "platform/process/ChildProcess.h"
#include "platform/system/ProcessSetup.h"
#include "tools/pulse/PrivatePulseServer.h"

using namespace veltrane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRoundTimeout = std::chrono::seconds(5);

// The time of the first event after a round started.
class Arrival {
public:
    void reset() {
        std::lock_guard lock(mutex_);
        at_.reset();
    }
    void mark() {
        std::lock_guard lock(mutex_);
        if (!at_) at_ = Clock::now();
        changed_.notify_all();
    }
    std::optional<Clock::time_point> wait() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kRoundTimeout, [this] { return at_.has_value(); });
        return at_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Clock::time_point> at_;
};

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Summary {
    double median, p90, max;
};

Summary summarize(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))]; };
    return {at(0.5), at(0.9), values.back()};
}

}  // namespace

int main(int argc, char** argv) {
    sys::ignoreSigpipe();
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    testing::PrivatePulseServer server;
    if (!server.running()) {
        std::fprintf(stderr, "no private PulseAudio server: %s\n", server.failure().c_str());
        return 1;
    }

    // The peer: pactl's own event listener, one line per event.
    Arrival subscribeSaw;
    std::string error;
    auto subscriber = process::ChildProcess::spawn("/usr/bin/pactl", {"--server=" + server.address(), "subscribe"}, error);
    if (!subscriber) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::thread reader([&] {
        std::string pending;
        while (subscriber->pump(std::chrono::milliseconds(100), [&](auto stream, const char* data, std::size_t size) {
            if (stream != process::ChildProcess::Stream::out) return;
            pending.append(data, size);
            for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                if (pending.compare(0, end, "Event 'change' on sink #0") == 0) subscribeSaw.mark();
                pending.erase(0, end + 1);
            }
        })) {
        }
    });

    Arrival adapterSaw;
    auto adapter = deck::MacVolumeAdapter::create(
        std::make_shared<audio::PulseAudioSystem>(server.address()),
        [](const std::string& path, const std::vector<std::string>& args, double timeout) {
            process::Shell::run(path, args, timeout);
        });
    adapter->setOnChange([&] { adapterSaw.mark(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the subscriber settle in

    std::vector<double> adapterMs, subscribeMs, gapMs;
    int missed = 0;
    for (int round = 0; round < rounds; ++round) {
        subscribeSaw.reset();
        adapterSaw.reset();
        std::string level = std::to_string(20 + round % 2 * 10) + "%";  // alternate so every round is a change
        auto start = Clock::now();
        server.pactl({"set-sink-volume", "speakers", level});
        auto bySubscribe = subscribeSaw.wait();
        auto byAdapter = adapterSaw.wait();
        if (!bySubscribe || !byAdapter) {
            ++missed;
            continue;
        }
        adapterMs.push_back(milliseconds(*byAdapter - start));
        subscribeMs.push_back(milliseconds(*bySubscribe - start));
        gapMs.push_back(milliseconds(*byAdapter - *bySubscribe));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    adapter->setOnChange(nullptr);
    subscriber->sendSignal(SIGTERM);
    reader.join();
    if (adapterMs.empty()) {
        std::fprintf(stderr, "no round completed\n");
        return 1;
    }

    auto a = summarize(adapterMs), s = summarize(subscribeMs), g = summarize(gapMs);
    std::printf("external pactl set-sink-volume -> seen, %zu rounds (%d missed), milliseconds\n", adapterMs.size(),
                missed);
    std::printf("%-28s %8s %8s %8s\n", "", "median", "p90", "max");
    std::printf("%-28s %8.2f %8.2f %8.2f\n", "pactl subscribe (peer)", s.median, s.p90, s.max);
    std::printf("%-28s %8.2f %8.2f %8.2f\n", "MacVolumeAdapter onChange", a.median, a.p90, a.max);
    std::printf("%-28s %8.2f %8.2f %8.2f\n", "adapter after peer", g.median, g.p90, g.max);
    std::printf("adapter/peer median ratio %.2f; poll interval %.0f ms\n", a.median / s.median,
                deck::MacVolumeAdapter::kPollInterval * 1000);
    return 0;
}
