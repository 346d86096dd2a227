#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "platform/process/Shell.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/NetlinkPathMonitor.h"
#include "tests/support/Eventually.h"
#include "tests/support/FixtureTree.h"

using veltrane::process::Shell;
using veltrane::dispatch::SerialQueue;
using veltrane::net::NetlinkPathMonitor;
using veltrane::net::NetworkPath;
using veltrane::testing::FixtureTree;

namespace {

// The device of the lowest-metric default route `ip` lists, or "".
std::string defaultDevice(const std::string& familyFlag) {
    auto r = Shell::run("/usr/sbin/ip", {familyFlag, "route", "show", "default"}, 10);
    std::string best;
    long bestMetric = std::numeric_limits<long>::max();
    std::istringstream lines(r.stdout);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string word, device;
        long metric = 0;
        bool unicast = true;
        for (std::string previous; in >> word; previous = word) {
            if (previous == "dev") device = word;
            if (previous == "metric") metric = std::stol(word);
            if (previous.empty() && word != "default") unicast = false;  // "unreachable default ..."
        }
        if (unicast && !device.empty() && metric < bestMetric) best = device, bestMetric = metric;
    }
    return best;
}

bool namespacesAvailable() { return Shell::run("/usr/bin/unshare", {"-rn", "/bin/true"}, 10).status == 0; }

TEST(NetlinkPathMonitor, CurrentPathAgreesWithIpRoute) {
    std::string v4 = defaultDevice("-4"), v6 = defaultDevice("-6");
    NetworkPath path = NetlinkPathMonitor().currentPath();
    std::vector<std::string> expected;
    if (!v4.empty()) expected.push_back(v4);
    if (!v6.empty() && v6 != v4) expected.push_back(v6);
    std::vector<std::string> names;
    for (const auto& i : path.interfaces) names.push_back(i.name);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(path.status == NetworkPath::Status::satisfied, !expected.empty());
}

TEST(NetlinkPathMonitor, ReportsTheCurrentPathAtStartOnItsQueue) {
    auto queue = SerialQueue::create("test.net");
    struct Reports {
        std::mutex mutex;
        std::vector<NetworkPath> paths;
        bool onQueue = true;
    };
    auto reports = std::make_shared<Reports>();
    FixtureTree noSys;
    NetlinkPathMonitor monitor(noSys.root());
    monitor.start(queue, [reports, queue](const NetworkPath& path) {
        std::lock_guard lock(reports->mutex);
        reports->paths.push_back(path);
        reports->onQueue = reports->onQueue && queue->isCurrent();
    });
    ASSERT_TRUE(veltrane::testing::eventually([&] {
        std::lock_guard lock(reports->mutex);
        return !reports->paths.empty();
    }));
    monitor.cancel();
    monitor.cancel();  // twice is harmless
    std::lock_guard lock(reports->mutex);
    EXPECT_TRUE(reports->onQueue);
    // Without a sys tree every interface is of another kind.
    NetworkPath now = monitor.currentPath();
    EXPECT_EQ(reports->paths.front(), now);
    for (const auto& i : now.interfaces) EXPECT_EQ(i.type, veltrane::net::InterfaceType::other);
}

// A fresh network namespace has nothing but a loopback that is down.
TEST(NetlinkPathMonitor, NamespaceWithoutRoutesIsUnsatisfiedUntilARouteAppears) {
    if (!namespacesAvailable()) GTEST_SKIP() << "cannot create a network namespace (unshare -rn)";
    FixtureTree scratch;
    std::string out = scratch.path("probe.out");
    // The probe waits for two reports; the route is added once the first is out.
    std::string script = std::string(VELTRANE_PATH_PROBE) + " 2 >" + out + " & probe=$!\n" +
                         "while ! grep -q '^path' " + out + "; do sleep 0.02; done\n"
                         "ip link set lo up && ip route add default dev lo || kill $probe\n"
                         "wait $probe; status=$?; cat " + out + "; exit $status\n";
    auto r = Shell::run("/usr/bin/unshare", {"-rn", "/bin/sh", "-c", script}, 30);
    EXPECT_EQ(r.status, 0) << r.stdout << r.stderr;
    EXPECT_EQ(r.stdout, "addresses\npath unsatisfied\npath satisfied lo:loopback\n");
}

}  // namespace
