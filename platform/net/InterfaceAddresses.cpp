#include "platform/net/InterfaceAddresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace veltrane::net {

std::vector<std::string> ipv4AddressesOfUpInterfaces() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        if (host[0] != '\0') addresses.emplace_back(host);
    }
    ::freeifaddrs(list);
    return addresses;
}

}  // namespace veltrane::net
