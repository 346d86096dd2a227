#include "platform/net/RouteDump.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>

namespace veltrane::net {

namespace {

// Reads a struct at `offset` whatever the alignment of the bytes.
template <class T>
std::optional<T> read(std::string_view bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

constexpr std::size_t align(std::size_t length) { return (length + 3) & ~std::size_t{3}; }

}  // namespace

void RouteDump::feed(std::string_view bytes) {
    std::size_t at = 0;
    while (!finished_) {
        auto header = read<nlmsghdr>(bytes, at);
        if (!header || header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > bytes.size() - at) return;
        std::string_view message = bytes.substr(at, header->nlmsg_len);
        if (header->nlmsg_seq == sequence_) {
            if (header->nlmsg_type == NLMSG_DONE) finished_ = true;
            else if (header->nlmsg_type == NLMSG_ERROR) finished_ = failed_ = true;
            else if (header->nlmsg_type == RTM_NEWROUTE) route(message.substr(NLMSG_HDRLEN));
        }
        at += align(header->nlmsg_len);
        if (at >= bytes.size()) return;
    }
}

void RouteDump::route(std::string_view body) {
    auto head = read<rtmsg>(body, 0);
    if (!head) return;
    if (head->rtm_family != AF_INET && head->rtm_family != AF_INET6) return;
    if (head->rtm_dst_len != 0 || head->rtm_type != RTN_UNICAST) return;
    if (head->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) return;

    std::uint32_t table = head->rtm_table, interfaceIndex = 0, metric = 0;
    bool nexthopUsable = true;
    for (std::size_t at = NLMSG_ALIGN(sizeof(rtmsg)); auto attribute = read<rtattr>(body, at);) {
        if (attribute->rta_len < sizeof(rtattr) || attribute->rta_len > body.size() - at) break;
        std::string_view payload = body.substr(at + RTA_LENGTH(0), attribute->rta_len - RTA_LENGTH(0));
        auto u32 = read<std::uint32_t>(payload, 0);
        switch (attribute->rta_type) {
        case RTA_TABLE: if (u32) table = *u32; break;
        case RTA_OIF: if (u32) interfaceIndex = *u32; break;
        case RTA_PRIORITY: if (u32) metric = *u32; break;
        case RTA_MULTIPATH:
            // Several next hops: the route leaves through the first.
            if (auto hop = read<rtnexthop>(payload, 0); hop && interfaceIndex == 0) {
                interfaceIndex = static_cast<std::uint32_t>(hop->rtnh_ifindex);
                nexthopUsable = !(hop->rtnh_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN));
            }
            break;
        default: break;
        }
        at += align(attribute->rta_len);
    }
    if (table != RT_TABLE_MAIN || interfaceIndex == 0 || !nexthopUsable) return;
    routes_.push_back({head->rtm_family, interfaceIndex, metric});
}

}  // namespace veltrane::net
