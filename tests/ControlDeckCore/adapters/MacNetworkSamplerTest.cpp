#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "ControlDeckCore/adapters/MacNetworkSampler.h"
#include "platform/process/Shell.h"

using namespace veltrane::deck;
using veltrane::net::InterfaceType;
using veltrane::net::NetworkPath;

namespace {

// A monitor the test drives: each report runs on the sampler's queue.
class ScriptedMonitor : public veltrane::net::PathMonitor {
public:
    void start(std::shared_ptr<veltrane::dispatch::DispatchQueue> queue, UpdateHandler handler) override {
        queue_ = std::move(queue);
        handler_ = std::move(handler);
    }
    void cancel() override { cancelled = true; }

    // Reports `path` and waits until the sampler has taken it.
    void report(const NetworkPath& path) {
        queue_->async([this, path] { handler_(path); });
        queue_->sync([] {});
    }
    std::string queueLabel() const { return queue_->label(); }

    bool cancelled = false;

private:
    std::shared_ptr<veltrane::dispatch::DispatchQueue> queue_;
    UpdateHandler handler_;
};

NetworkPath path(NetworkPath::Status status, std::vector<InterfaceType> types) {
    NetworkPath p;
    p.status = status;
    int n = 0;
    for (auto type : types) p.interfaces.push_back({"if" + std::to_string(n++), type});
    return p;
}

TEST(MacNetworkSampler, ClassifiesThePath) {
    using S = NetworkPath::Status;
    struct Case {
        const char* name;
        NetworkPath path;
        const char* interface;
        bool wifi, ethernet;
    };
    const Case cases[] = {
        {"Wi-Fi", path(S::satisfied, {InterfaceType::wifi}), "Wi-Fi", true, false},
        {"Ethernet", path(S::satisfied, {InterfaceType::wiredEthernet}), "Ethernet", false, true},
        {"both: Wi-Fi wins", path(S::satisfied, {InterfaceType::wiredEthernet, InterfaceType::wifi}), "Wi-Fi", true,
         true},
        {"another kind of link", path(S::satisfied, {InterfaceType::other}), "Online", false, false},
        {"loopback only", path(S::satisfied, {InterfaceType::loopback}), "Online", false, false},
        {"no default route", path(S::unsatisfied, {}), "Offline", false, false},
    };
    auto monitor = std::make_shared<ScriptedMonitor>();
    auto sampler = MacNetworkSampler::create(monitor);
    EXPECT_EQ(monitor->queueLabel(), "deck.net");
    for (const auto& c : cases) {
        monitor->report(c.path);
        auto sample = sampler->sample(8742, false);
        EXPECT_EQ(sample.interface, c.interface) << c.name;
        EXPECT_EQ(sample.wifi, c.wifi) << c.name;
        EXPECT_EQ(sample.ethernet, c.ethernet) << c.name;
    }
}

TEST(MacNetworkSampler, BeforeTheFirstReportItIsOffline) {
    auto monitor = std::make_shared<ScriptedMonitor>();
    auto sampler = MacNetworkSampler::create(monitor);
    auto sample = sampler->sample(8741, true);
    EXPECT_EQ(sample.interface, "Offline");
    EXPECT_FALSE(sample.wifi);
    EXPECT_FALSE(sample.ethernet);
}

TEST(MacNetworkSampler, CarriesPortAndListeningBackAndTheFirstAddress) {
    auto monitor = std::make_shared<ScriptedMonitor>();
    auto sampler = MacNetworkSampler::create(monitor);
    for (auto [port, listening] : {std::pair<std::uint16_t, bool>{8741, true}, {0, false}, {65535, true}}) {
        auto sample = sampler->sample(port, listening);
        EXPECT_EQ(sample.port, port);
        EXPECT_EQ(sample.serverListening, listening);
    }
    EXPECT_EQ(sampler->sample(1, true).ip, MacNetworkSampler::primaryIPv4());
    auto all = MacNetworkSampler::allIPv4();
    EXPECT_EQ(MacNetworkSampler::primaryIPv4(), all.empty() ? std::nullopt : std::optional(all.front()));
}

TEST(MacNetworkSampler, EndingTheSamplerCancelsItsMonitor) {
    auto monitor = std::make_shared<ScriptedMonitor>();
    MacNetworkSampler::create(monitor).reset();
    EXPECT_TRUE(monitor->cancelled);
}

// Runs the probe here or in a network namespace of its own.
std::map<std::string, std::string> probe(bool inOwnNamespace) {
    auto r = inOwnNamespace ? veltrane::process::Shell::run("/usr/bin/unshare", {"-rn", VELTRANE_NETWORK_PROBE}, 30)
                            : veltrane::process::Shell::run(VELTRANE_NETWORK_PROBE, {}, 30);
    EXPECT_EQ(r.status, 0) << r.stderr;
    std::map<std::string, std::string> values;
    std::istringstream lines(r.stdout);
    for (std::string line; std::getline(lines, line);)
        if (auto eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    return values;
}

TEST(MacNetworkSampler, OnThisHostItFollowsTheRoutingTable) {
    auto route = veltrane::process::Shell::run("/usr/sbin/ip", {"route", "show", "default"}, 10);
    auto route6 = veltrane::process::Shell::run("/usr/sbin/ip", {"-6", "route", "show", "default"}, 10);
    if (route.status != 0) GTEST_SKIP() << "ip (iproute2) cannot be run";
    auto values = probe(false);
    bool routed = route.stdout.find("dev ") != std::string::npos || route6.stdout.find("dev ") != std::string::npos;
    EXPECT_EQ(values["interface"] != "Offline", routed) << route.stdout;
}

// A network namespace of its own has no routes and only a loopback that is down.
TEST(MacNetworkSampler, InANamespaceWithoutRoutesItIsOfflineWithNoAddresses) {
    if (veltrane::process::Shell::run("/usr/bin/unshare", {"-rn", "/bin/true"}, 10).status != 0)
        GTEST_SKIP() << "cannot create a network namespace (unshare -rn)";
    auto values = probe(true);
    EXPECT_EQ(values["interface"], "Offline");
    EXPECT_EQ(values["ip"], "none");
    EXPECT_EQ(values["all"], "");
    EXPECT_EQ(values["wifi"], "0");
    EXPECT_EQ(values["ethernet"], "0");
}

}  // namespace
