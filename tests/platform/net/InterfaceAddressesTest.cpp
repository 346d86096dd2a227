#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "platform/process/Shell.h"
#include "platform/net/InterfaceAddresses.h"

using veltrane::process::Shell;

namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

}  // namespace

// The same list `ip` shows: IPv4 addresses of interfaces that are up, less
// those of loopback interfaces.
TEST(InterfaceAddresses, MatchIpAddrShowUpWithoutLoopback) {
    auto links = Shell::run("/usr/sbin/ip", {"-o", "link", "show", "up"}, 10);
    auto addresses = Shell::run("/usr/sbin/ip", {"-4", "-o", "addr", "show", "up"}, 10);
    if (links.status != 0 || addresses.status != 0) GTEST_SKIP() << "ip (iproute2) cannot be run";

    // "1: lo: <LOOPBACK,UP,LOWER_UP> mtu ..." — the name may carry "@peer".
    std::set<std::string> loopback;
    std::istringstream linkLines(links.stdout);
    for (std::string line; std::getline(linkLines, line);) {
        auto w = words(line);
        if (w.size() < 3 || w[2].find("LOOPBACK") == std::string::npos) continue;
        std::string name = w[1].substr(0, w[1].find_first_of(":@"));
        loopback.insert(name);
    }
    // "2: eth0    inet 172.17.0.2/16 brd ... scope global eth0\ ..."
    std::vector<std::string> expected;
    std::istringstream addressLines(addresses.stdout);
    for (std::string line; std::getline(addressLines, line);) {
        auto w = words(line);
        if (w.size() < 4 || w[2] != "inet") continue;
        if (loopback.count(w[1])) continue;
        expected.push_back(w[3].substr(0, w[3].find('/')));
    }

    auto actual = veltrane::net::ipv4AddressesOfUpInterfaces();
    std::sort(expected.begin(), expected.end());
    std::sort(actual.begin(), actual.end());
    EXPECT_EQ(actual, expected) << "ip said:\n" << addresses.stdout;
}
