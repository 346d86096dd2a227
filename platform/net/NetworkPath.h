#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace veltrane::net {

enum class InterfaceType { wifi, wiredEthernet, loopback, other };

// How the machine reaches other networks: through the interfaces that carry
// its default routes (the preferred IPv4 one first, then IPv6). Without a
// default route the path is unsatisfied.
struct NetworkPath {
    enum class Status { satisfied, unsatisfied };
    struct Interface {
        std::string name;
        InterfaceType type = InterfaceType::other;
        bool operator==(const Interface&) const = default;
    };

    Status status = Status::unsatisfied;
    std::vector<Interface> interfaces;

    bool usesInterfaceType(InterfaceType type) const {
        return std::any_of(interfaces.begin(), interfaces.end(), [type](const Interface& i) { return i.type == type; });
    }
    bool operator==(const NetworkPath&) const = default;
};

}  // namespace veltrane::net
