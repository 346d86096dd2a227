#include "platform/net/InterfaceType.h"

#include <filesystem>
#include <fstream>

namespace veltrane::net {

namespace {
// Link types from <linux/if_arp.h>.
constexpr int kLinkEthernet = 1;
constexpr int kLinkLoopback = 772;
}  // namespace

InterfaceType classifyInterface(const std::string& sysRoot, const std::string& name) {
    namespace fs = std::filesystem;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return InterfaceType::other;
    fs::path folder = fs::path(sysRoot) / "class" / "net" / name;
    std::error_code error;
    if (fs::exists(folder / "wireless", error) || fs::exists(folder / "phy80211", error)) return InterfaceType::wifi;
    int linkType = -1;
    std::ifstream(folder / "type") >> linkType;
    if (linkType == kLinkLoopback) return InterfaceType::loopback;
    if (linkType == kLinkEthernet && fs::exists(folder / "device", error)) return InterfaceType::wiredEthernet;
    return InterfaceType::other;
}

}  // namespace veltrane::net
