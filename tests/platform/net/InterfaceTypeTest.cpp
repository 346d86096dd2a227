#include <gtest/gtest.h>

#include <filesystem>

#include "platform/net/InterfaceType.h"
#include "tests/support/FixtureTree.h"

using veltrane::net::classifyInterface;
using veltrane::net::InterfaceType;
using veltrane::testing::FixtureTree;

TEST(InterfaceType, TellsLinksApartByTheirSysEntries) {
    FixtureTree sys;
    sys.write("class/net/wlan0/type", "1\n");
    sys.folder("class/net/wlan0/wireless");
    sys.write("class/net/wlp2s0/type", "1\n");
    sys.folder("devices/phy0");
    std::filesystem::create_directory_symlink(sys.path("devices/phy0"), sys.path("class/net/wlp2s0/phy80211"));
    sys.write("class/net/eth0/type", "1\n");
    sys.folder("devices/pci0000:00/0000:00:1f.6");
    std::filesystem::create_directory_symlink(sys.path("devices/pci0000:00/0000:00:1f.6"),
                                              sys.path("class/net/eth0/device"));
    sys.write("class/net/veth1/type", "1\n");
    sys.write("class/net/br0/type", "1\n");
    sys.folder("class/net/br0/bridge");
    sys.write("class/net/lo/type", "772\n");
    sys.write("class/net/tun0/type", "65534\n");
    sys.write("class/net/odd/type", "ether\n");

    struct Case {
        const char* name;
        InterfaceType expected;
    };
    const Case cases[] = {
        {"wlan0", InterfaceType::wifi},         {"wlp2s0", InterfaceType::wifi},
        {"eth0", InterfaceType::wiredEthernet}, {"veth1", InterfaceType::other},
        {"br0", InterfaceType::other},          {"lo", InterfaceType::loopback},
        {"tun0", InterfaceType::other},         {"odd", InterfaceType::other},
        {"missing", InterfaceType::other},      {"", InterfaceType::other},
        {"..", InterfaceType::other},           {"../net/eth0", InterfaceType::other},
    };
    for (const auto& c : cases) EXPECT_EQ(classifyInterface(sys.root(), c.name), c.expected) << c.name;
}
