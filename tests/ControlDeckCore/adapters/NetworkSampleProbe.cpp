// Test helper: waits for the network sampler's first path report, then
// prints one sample and the IPv4 list as "key=value" lines. Exits 1 when no
// report comes within 10 s.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "ControlDeckCore/adapters/MacNetworkSampler.h"
#include "platform/net/NetlinkPathMonitor.h"

using namespace veltrane;

namespace {

// The host's monitor, telling the probe once its first report was handled.
class FirstReport : public net::PathMonitor {
public:
    void start(std::shared_ptr<dispatch::DispatchQueue> queue, UpdateHandler handler) override {
        inner_.start(queue, [this, handler](const net::NetworkPath& path) {
            handler(path);
            std::lock_guard lock(mutex_);
            reported_ = true;
            changed_.notify_all();
        });
    }
    void cancel() override { inner_.cancel(); }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return reported_; });
    }

private:
    net::NetlinkPathMonitor inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool reported_ = false;
};

}  // namespace

int main() {
    auto monitor = std::make_shared<FirstReport>();
    auto sampler = deck::MacNetworkSampler::create(monitor);
    if (!monitor->wait()) return 1;
    auto sample = sampler->sample(8741, true);
    std::string all;
    for (const auto& address : deck::MacNetworkSampler::allIPv4()) all += (all.empty() ? "" : ",") + address;
    std::printf("interface=%s\nip=%s\nwifi=%d\nethernet=%d\nall=%s\n", sample.interface.c_str(),
                sample.ip ? sample.ip->c_str() : "none", sample.wifi, sample.ethernet, all.c_str());
    return 0;
}
