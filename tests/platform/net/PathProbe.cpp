// Test helper: prints the IPv4 addresses of up interfaces, then each network
// path the monitor reports, one line each; exits after the given number of
// reports (status 0) or after 10 s without them (status 1).

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/dispatch/SerialQueue.h"
#include "platform/net/InterfaceAddresses.h"
#include "platform/net/NetlinkPathMonitor.h"

using namespace veltrane;

namespace {
const char* typeName(net::InterfaceType type) {
    switch (type) {
    case net::InterfaceType::wifi: return "wifi";
    case net::InterfaceType::wiredEthernet: return "wiredEthernet";
    case net::InterfaceType::loopback: return "loopback";
    case net::InterfaceType::other: return "other";
    }
    return "?";
}
}  // namespace

int main(int argc, char** argv) {
    int wanted = argc > 1 ? std::atoi(argv[1]) : 1;
    std::string addresses = "addresses";
    for (const auto& a : net::ipv4AddressesOfUpInterfaces()) addresses += " " + a;
    std::printf("%s\n", addresses.c_str());
    std::fflush(stdout);

    std::mutex mutex;
    std::condition_variable changed;
    int reports = 0;
    auto queue = dispatch::SerialQueue::create("probe.net");
    net::NetlinkPathMonitor monitor;
    monitor.start(queue, [&](const net::NetworkPath& path) {
        std::string line = path.status == net::NetworkPath::Status::satisfied ? "path satisfied" : "path unsatisfied";
        for (const auto& i : path.interfaces) line += " " + i.name + ":" + typeName(i.type);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        std::lock_guard lock(mutex);
        ++reports;
        changed.notify_all();
    });
    std::unique_lock lock(mutex);
    bool enough = changed.wait_for(lock, std::chrono::seconds(10), [&] { return reports >= wanted; });
    lock.unlock();
    monitor.cancel();
    return enough ? 0 : 1;
}
