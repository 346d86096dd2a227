#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/net/RouteDump.h"

using veltrane::net::DefaultRoute;
using veltrane::net::RouteDump;

namespace {

constexpr std::uint32_t kSequence = 7;

// Builds rtnetlink messages the way the kernel lays them out.
struct Route {
    std::uint8_t family = AF_INET;
    std::uint8_t dstLength = 0;
    std::uint8_t table = RT_TABLE_MAIN;
    std::uint8_t type = RTN_UNICAST;
    std::uint32_t flags = 0;
    std::vector<std::pair<std::uint16_t, std::string>> attributes;

    Route& attribute(std::uint16_t kind, std::uint32_t value) {
        attributes.emplace_back(kind, std::string(reinterpret_cast<const char*>(&value), sizeof value));
        return *this;
    }
    Route& oif(std::uint32_t index) { return attribute(RTA_OIF, index); }
    Route& inFamily(std::uint8_t value) { return family = value, *this; }
    Route& toPrefix(std::uint8_t length) { return dstLength = length, *this; }
    Route& inTable(std::uint8_t value) { return table = value, *this; }
    Route& ofType(std::uint8_t value) { return type = value, *this; }
    Route& withFlags(std::uint32_t value) { return flags = value, *this; }
    Route& metric(std::uint32_t value) { return attribute(RTA_PRIORITY, value); }
};

void pad(std::string& bytes) { bytes.resize((bytes.size() + 3) & ~std::size_t{3}, '\0'); }

std::string message(std::uint16_t type, const std::string& body, std::uint32_t sequence = kSequence) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + body.size());
    header.nlmsg_type = type;
    header.nlmsg_seq = sequence;
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes += body;
    pad(bytes);
    return bytes;
}

std::string routeMessage(const Route& route, std::uint32_t sequence = kSequence) {
    rtmsg head{};
    head.rtm_family = route.family;
    head.rtm_dst_len = route.dstLength;
    head.rtm_table = route.table;
    head.rtm_type = route.type;
    head.rtm_flags = route.flags;
    std::string body(reinterpret_cast<const char*>(&head), sizeof head);
    for (const auto& [kind, payload] : route.attributes) {
        rtattr attribute{};
        attribute.rta_len = static_cast<std::uint16_t>(RTA_LENGTH(payload.size()));
        attribute.rta_type = kind;
        body += std::string(reinterpret_cast<const char*>(&attribute), sizeof attribute) + payload;
        pad(body);
    }
    return message(RTM_NEWROUTE, body, sequence);
}

std::string done() { return message(NLMSG_DONE, std::string(4, '\0')); }

std::vector<DefaultRoute> parse(const std::string& bytes) {
    RouteDump dump(kSequence);
    dump.feed(bytes);
    EXPECT_TRUE(dump.finished());
    return dump.routes();
}

TEST(RouteDump, KeepsUsableDefaultRoutesOfTheMainTable) {
    struct Case {
        const char* name;
        Route route;
        std::vector<DefaultRoute> expected;
    };
    rtnexthop hop{};
    hop.rtnh_len = sizeof hop;
    hop.rtnh_ifindex = 9;
    std::string hops(reinterpret_cast<const char*>(&hop), sizeof hop);
    Route viaHops;
    viaHops.attributes.emplace_back(RTA_MULTIPATH, hops);
    Route viaDeadHop = viaHops;
    hop.rtnh_flags = RTNH_F_LINKDOWN;
    viaDeadHop.attributes[0].second = std::string(reinterpret_cast<const char*>(&hop), sizeof hop);

    const Case cases[] = {
        {"IPv4 default", Route{}.oif(2).metric(100), {{AF_INET, 2, 100}}},
        {"IPv6 default without metric", Route{}.inFamily(AF_INET6).oif(3), {{AF_INET6, 3, 0}}},
        {"a subnet is not a default", Route{}.toPrefix(24).oif(2), {}},
        {"local table", Route{}.inTable(RT_TABLE_LOCAL).oif(2), {}},
        {"table given as an attribute wins", Route{}.inTable(RT_TABLE_UNSPEC).oif(2).attribute(RTA_TABLE, RT_TABLE_MAIN),
         {{AF_INET, 2, 0}}},
        {"other table as an attribute", Route{}.oif(2).attribute(RTA_TABLE, 1000), {}},
        {"unreachable default", Route{}.ofType(RTN_UNREACHABLE).oif(1), {}},
        {"link down", Route{}.withFlags(RTNH_F_LINKDOWN).oif(2), {}},
        {"no outgoing interface", Route{}.metric(5), {}},
        {"first of several next hops", viaHops, {{AF_INET, 9, 0}}},
        {"first next hop down", viaDeadHop, {}},
        {"other family", Route{}.inFamily(AF_BRIDGE).oif(2), {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(routeMessage(c.route) + done()), c.expected) << c.name;
}

TEST(RouteDump, FollowsTheDumpAcrossReads) {
    RouteDump dump(kSequence);
    dump.feed(routeMessage(Route{}.oif(2).metric(600)) + routeMessage(Route{}.oif(4).metric(100), kSequence + 1));
    EXPECT_FALSE(dump.finished());
    dump.feed(routeMessage(Route{}.inFamily(AF_INET6).oif(3)));
    dump.feed(done());
    EXPECT_TRUE(dump.finished());
    EXPECT_FALSE(dump.failed());
    // The message of another request is not ours.
    EXPECT_EQ(dump.routes(), (std::vector<DefaultRoute>{{AF_INET, 2, 600}, {AF_INET6, 3, 0}}));
}

TEST(RouteDump, AnErrorEndsTheDumpAsFailed) {
    RouteDump dump(kSequence);
    dump.feed(message(NLMSG_ERROR, std::string(sizeof(nlmsgerr), '\0')) + routeMessage(Route{}.oif(2)));
    EXPECT_TRUE(dump.finished());
    EXPECT_TRUE(dump.failed());
    EXPECT_TRUE(dump.routes().empty());
}

TEST(RouteDump, MalformedBytesEndTheReadSafely) {
    std::string good = routeMessage(Route{}.oif(2));
    std::vector<std::string> inputs;
    for (std::size_t cut = 0; cut < good.size(); ++cut) inputs.push_back(good.substr(0, cut));
    std::string tooLong = good;
    std::uint32_t huge = 1u << 30;
    std::memcpy(tooLong.data(), &huge, sizeof huge);
    inputs.push_back(tooLong);
    std::string tooShort = good;
    std::uint32_t tiny = 3;
    std::memcpy(tooShort.data(), &tiny, sizeof tiny);
    inputs.push_back(tooShort);
    // An attribute that claims more than the message holds.
    std::string badAttribute = good;
    std::uint16_t attributeLength = 0xffff;
    std::memcpy(badAttribute.data() + NLMSG_HDRLEN + sizeof(rtmsg), &attributeLength, sizeof attributeLength);
    inputs.push_back(badAttribute);

    for (const auto& input : inputs) {
        RouteDump dump(kSequence);
        dump.feed(input);
        EXPECT_FALSE(dump.finished());
        EXPECT_TRUE(dump.routes().empty()) << input.size();
    }
}

}  // namespace
