#include "platform/net/NetlinkPathMonitor.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/net/InterfaceType.h"
#include "platform/net/RouteDump.h"
#include "platform/system/FileDescriptor.h"

namespace veltrane::net {

namespace {


// The default routes, or nothing when the kernel could not be asked.
std::optional<std::vector<DefaultRoute>> dumpDefaultRoutes() {
    sys::FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (socket.get() < 0) return std::nullopt;
    timeval timeout{.tv_sec = static_cast<time_t>(NetlinkPathMonitor::kDumpTimeout), .tv_usec = 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    constexpr std::uint32_t kSequence = 1;
    struct {
        nlmsghdr header;
        rtmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = kSequence;
    request.body.rtm_family = AF_UNSPEC;
    sockaddr_nl kernel{.nl_family = AF_NETLINK, .nl_pad = 0, .nl_pid = 0, .nl_groups = 0};
    if (::sendto(socket.get(), &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0)
        return std::nullopt;

    RouteDump dump(kSequence);
    std::vector<char> buffer(NetlinkPathMonitor::kReceiveBufferBytes);
    while (!dump.finished()) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(socket.get(), buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                               &fromLength);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        if (from.nl_pid != 0) continue;  // only the kernel answers a dump
        dump.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    if (dump.failed()) return std::nullopt;
    return dump.routes();
}

}  // namespace

NetlinkPathMonitor::NetlinkPathMonitor(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}

NetlinkPathMonitor::~NetlinkPathMonitor() { cancel(); }

NetworkPath NetlinkPathMonitor::currentPath() const {
    NetworkPath path;
    auto routes = dumpDefaultRoutes();
    if (!routes) return path;
    // The preferred route of each family is the one with the lowest metric.
    for (int family : {AF_INET, AF_INET6}) {
        const DefaultRoute* best = nullptr;
        for (const auto& route : *routes)
            if (route.family == family && (!best || route.metric < best->metric)) best = &route;
        if (!best) continue;
        char name[IF_NAMESIZE] = {};
        if (!::if_indextoname(best->interfaceIndex, name)) continue;
        NetworkPath::Interface interface{name, classifyInterface(sysRoot_, name)};
        if (std::find(path.interfaces.begin(), path.interfaces.end(), interface) == path.interfaces.end())
            path.interfaces.push_back(std::move(interface));
    }
    if (!path.interfaces.empty()) path.status = NetworkPath::Status::satisfied;
    return path;
}

void NetlinkPathMonitor::start(std::shared_ptr<dispatch::DispatchQueue> queue, UpdateHandler handler) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    // Listen before the first reading, so no change falls between the two.
    sys::FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (socket.get() >= 0) {
        sockaddr_nl groups{.nl_family = AF_NETLINK, .nl_pad = 0, .nl_pid = 0,
                           .nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE};
        if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0) ::close(socket.release());
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this, fd = socket.release(), queue = std::move(queue), handler = std::move(handler)] {
        watch(fd, queue, handler);
    });
}

void NetlinkPathMonitor::cancel() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    std::uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
    thread_.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
}

void NetlinkPathMonitor::watch(int fd, std::shared_ptr<dispatch::DispatchQueue> queue, UpdateHandler handler) {
    sys::FileDescriptor socket(fd);
    std::optional<NetworkPath> reported;
    for (;;) {
        NetworkPath path = currentPath();
        if (path != reported) {
            reported = path;
            queue->async([handler, path] { handler(path); });
        }
        // Without a watch socket the first reading is the only one.
        if (socket.get() < 0 || wakeFd_ < 0) return;
        pollfd fds[2] = {{socket.get(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        // A burst of changes (or a lost one: ENOBUFS) gives one new reading.
        char discard[4096];
        for (;;) {
            ssize_t n = ::recv(socket.get(), discard, sizeof discard, 0);
            if (n > 0 || (n < 0 && (errno == EINTR || errno == ENOBUFS))) continue;
            break;
        }
    }
}

}  // namespace veltrane::net
