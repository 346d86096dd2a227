#include "platform/net/Listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include "platform/net/EventLoop.h"
#include "platform/net/TCPConnection.h"
#include "platform/system/ProcessSetup.h"

namespace veltrane::net {

namespace {
// After running out of descriptors or memory the pending connection stays in
// the backlog and accept() would fail again at once: wait a little instead of
// spinning.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(50);

bool isResourceShortage(int code) { return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM; }

// Two loops accept. Under a flood of short connections (wrk -t2 -c50 on 8
// cores) one loop answered 22,000 health checks a second at 37 µs of
// processor time each, two 36,000 at 42 µs, three 38,000 at 44 µs and four
// 35,000 at 47 µs: past two, each loop wakes for fewer connections at a
// time and the wake-ups cost more than the rate gains.
constexpr std::size_t kAcceptingLoops = 2;

std::size_t acceptingLoops() { return std::min(kAcceptingLoops, EventLoop::shared().threadCount()); }

// A socket made from a descriptor accept4 gave. Asio treats every assigned
// descriptor as possibly shared with another process and of unknown mode, so
// it would switch it to non-blocking mode again (an ioctl) and remove it from
// its epoll set before closing it (an epoll_ctl): two system calls per
// connection that a socket it accepted itself does not make. This one is
// neither shared nor blocking, and says so.
class AcceptedSocket : public asio::ip::tcp::socket {
public:
    using asio::ip::tcp::socket::basic_stream_socket;
    void adopt(const asio::ip::tcp& protocol, int fd, asio::error_code& ec) {
        assign(protocol, fd, ec);
        if (ec) return;
        auto& state = impl_.get_implementation().state_;
        state &= ~asio::detail::socket_ops::possible_dup;
        state |= asio::detail::socket_ops::internal_non_blocking;
    }
};

// How close accepting has come to the process's descriptor limit, shared by
// a listener's sockets. Far from it, each loop accepts freely; within a few
// descriptors of the spare, accepts go one at a time, each after checking
// that the lowest free descriptor leaves the spare untouched.
struct DescriptorRoom {
    std::optional<int> openLimit;  // the soft descriptor limit when accepting began
    int zone = 0;                  // accepted descriptors from here on are near it
    std::atomic<bool> near{false};
    std::mutex mutex;  // one accept at a time while near
};

// One listening socket a network loop. Several sockets share the port
// through SO_REUSEPORT, so the kernel spreads connections over the loops
// and each is served on the loop that accepted it, with no hand-over; one
// socket of one loop would leave the other loops idle while it saturates.
struct Acceptor : std::enable_shared_from_this<Acceptor> {
    Acceptor(asio::io_context& context, std::string label)
        : context(context), label(std::move(label)), acceptor(context), retry(context) {}

    void acceptNext() {
        // Called with `mutex` held. The loop waits for a connection; accept4
        // then takes it non-blocking and close-on-exec with its peer's
        // address, where Asio's accept needs four more system calls (two for
        // close-on-exec, one for the mode, one for the address).
        acceptor.async_wait(asio::socket_base::wait_read,
                            [self = shared_from_this()](asio::error_code ec) { self->readable(ec); });
    }

    void readable(const asio::error_code& waitError) {
        for (;;) {
            std::optional<AcceptedSocket> socket;
            std::string host;
            {
                std::lock_guard lock(mutex);
                if (closed) return;
                if (waitError) {
                    retryLater();
                    return;
                }
                std::unique_lock<std::mutex> roomLock;
                if (room->near.load(std::memory_order_acquire)) {
                    roomLock = std::unique_lock(room->mutex);
                    if (!roomBelowSpare()) {
                        retryLater();
                        return;
                    }
                }
                sockaddr_storage peer{};
                socklen_t size = sizeof peer;
                const int fd = ::accept4(acceptor.native_handle(), reinterpret_cast<sockaddr*>(&peer), &size,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    const int error = errno;
                    if (error == EAGAIN || error == EWOULDBLOCK) {
                        acceptNext();
                        return;
                    }
                    if (isResourceShortage(error)) {
                        retryLater();
                        return;
                    }
                    continue;  // this one attempt failed (e.g. the peer gave up)
                }
                // Descriptors are numbered lowest free first: every number
                // below this one is taken.
                if (room->openLimit) room->near.store(fd >= room->zone, std::memory_order_release);
                // A connection stays on the loop that accepted it: handing it
                // to another loop costs a wake-up of that loop's thread for
                // its first read, and the close comes back the same way, which
                // is more than serving a request takes.
                asio::error_code ec;
                socket.emplace(context);
                socket->adopt(protocol, fd, ec);
                if (ec) {
                    ::close(fd);
                    continue;
                }
                asio::ip::tcp::endpoint endpoint;
                if (size <= endpoint.capacity()) {
                    std::memcpy(endpoint.data(), &peer, size);
                    endpoint.resize(size);  // within capacity: never throws
                    host = TCPConnection::hostText(endpoint);
                }
            }
            // Set before the first wait and cleared only after `closed`: no lock needed.
            handler(TCPConnection::create(std::move(*socket), label, std::move(host)));
        }
    }

    // Near the limit: whether the lowest free descriptor, the one the next
    // accept takes, leaves the spare free. Called with `mutex` and the
    // room's held.
    bool roomBelowSpare() {
        const int probe = ::fcntl(acceptor.native_handle(), F_DUPFD_CLOEXEC, 0);
        if (probe < 0) return false;
        ::close(probe);
        return probe < *room->openLimit - Listener::kSpareDescriptors;
    }

    // After running out of descriptors or memory, or coming near the limit;
    // called with `mutex` held.
    void retryLater() {
        retry.expires_after(kAcceptRetryDelay);
        retry.async_wait([self = shared_from_this()](asio::error_code waitError) {
            std::lock_guard lock(self->mutex);
            if (!waitError && !self->closed) self->acceptNext();
        });
    }

    // Called with `mutex` held.
    void close() {
        closed = true;
        asio::error_code ignored;
        acceptor.close(ignored);
        retry.cancel();
    }

    asio::io_context& context;
    const std::string label;
    std::mutex mutex;  // guards the acceptor between the caller's thread and completions
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retry;
    asio::ip::tcp protocol = asio::ip::tcp::v4();
    Listener::AcceptHandler handler;
    std::shared_ptr<DescriptorRoom> room;
    bool closed = false;
};

}  // namespace

struct Listener::Impl {
    // Opens one listening socket for `address` (see Listener::create).
    int openSocket() const {
        const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return fd;
        if (protocol == asio::ip::tcp::v6() && (dualStack || address.to_v6().is_v4_mapped())) {
            int off = 0;  // IPv4 peers arrive as IPv4-mapped addresses
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        }
        return fd;
    }

    std::error_code add(int fd) {
        auto& loop = EventLoop::shared();
        auto slot = std::make_shared<Acceptor>(loop.context(acceptors.size()), label);
        slot->protocol = protocol;
        asio::error_code ec;
        slot->acceptor.assign(protocol, fd, ec);
        if (ec) {
            ::close(fd);
            return standardError(ec);
        }
        acceptors.push_back(std::move(slot));
        return {};
    }

    // Whether another socket, one that does not share ports, can take
    // `port` now: nobody else listens there. Port sharing lets only
    // sockets of this user that ask for it join; a second server of ours
    // asks first without it, so it finds the port taken instead of
    // silently taking part of its connections.
    std::error_code portFree(std::uint16_t port) const {
        const int fd = openSocket();
        if (fd < 0) return {errno, std::system_category()};
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const asio::ip::tcp::endpoint endpoint(address, port);
        const int result = ::bind(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size()));
        const int error = errno;
        ::close(fd);
        return result == 0 ? std::error_code() : std::error_code(error, std::system_category());
    }

    static std::error_code listenOn(Acceptor& slot, const asio::ip::tcp::endpoint& endpoint, bool sharing) {
        asio::error_code ec;
        slot.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec && sharing) {
            int on = 1;
            if (::setsockopt(slot.acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0)
                return {errno, std::system_category()};
        }
        // Accepted sockets inherit it: no system call per connection.
        if (!ec) slot.acceptor.set_option(asio::ip::tcp::no_delay(true), ec);
        if (!ec) slot.acceptor.bind(endpoint, ec);
        if (!ec) slot.acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec) slot.acceptor.native_non_blocking(true, ec);  // accept4 says when the backlog is empty
        return standardError(ec);
    }

    std::string label;
    std::mutex mutex;  // guards `acceptors` and `closed`; taken before an acceptor's own
    std::vector<std::shared_ptr<Acceptor>> acceptors;  // the first is always there
    asio::ip::tcp protocol = asio::ip::tcp::v4();
    asio::ip::address address;
    bool dualStack = false;
    bool closed = false;
};

std::shared_ptr<Listener> Listener::create(const std::string& address, std::string connectionLabel) {
    auto impl = std::make_shared<Impl>();
    impl->label = std::move(connectionLabel);
    int fd = -1;
    if (address.empty()) {
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
            impl->protocol = asio::ip::tcp::v6();
            impl->address = asio::ip::address_v6::any();
            impl->dualStack = true;
        } else if (errno == EAFNOSUPPORT) {
            impl->address = asio::ip::address_v4::any();
        } else {
            throw std::system_error(errno, std::system_category(), "listener socket");
        }
    } else {
        asio::error_code ec;
        impl->address = asio::ip::make_address(address, ec);
        if (ec) throw std::system_error(ec, "listener address " + address);
        impl->protocol = impl->address.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4();
    }
    fd = impl->openSocket();
    if (fd < 0) throw std::system_error(errno, std::system_category(), "listener socket");
    if (std::error_code ec = impl->add(fd)) throw std::system_error(ec, "listener socket");
    return std::shared_ptr<Listener>(new Listener(std::move(impl)));
}

Listener::~Listener() { cancel(); }

std::error_code Listener::bind(std::uint16_t port) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return std::make_error_code(std::errc::operation_canceled);
    const std::size_t loops = acceptingLoops();
    const bool sharing = loops > 1;
    if (sharing && port != 0) {
        if (std::error_code taken = impl_->portFree(port)) return taken;
    }
    Acceptor& first = *impl_->acceptors.front();
    {
        std::lock_guard slotLock(first.mutex);
        if (std::error_code ec = Impl::listenOn(first, asio::ip::tcp::endpoint(impl_->address, port), sharing))
            return ec;
    }
    asio::error_code ec;
    const asio::ip::tcp::endpoint bound = first.acceptor.local_endpoint(ec);
    if (ec) return standardError(ec);
    // The others are a bonus: a loop without its own socket only serves
    // fewer connections.
    while (sharing && impl_->acceptors.size() < loops) {
        const int fd = impl_->openSocket();
        if (fd < 0 || impl_->add(fd)) break;
        Acceptor& next = *impl_->acceptors.back();
        std::lock_guard slotLock(next.mutex);
        if (Impl::listenOn(next, bound, true)) {
            next.close();
            impl_->acceptors.pop_back();
            break;
        }
    }
    return {};
}

std::uint16_t Listener::port() const {
    std::lock_guard lock(impl_->mutex);
    Acceptor& first = *impl_->acceptors.front();
    std::lock_guard slotLock(first.mutex);
    asio::error_code ec;
    auto endpoint = first.acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void Listener::start(AcceptHandler handler) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return;
    // A limit too small to leave a spare is left to the resource-shortage path.
    auto room = std::make_shared<DescriptorRoom>();
    if (std::optional<std::size_t> limit = sys::descriptorLimit(); limit && *limit > 2 * kSpareDescriptors) {
        room->openLimit = static_cast<int>(std::min<std::size_t>(*limit, std::numeric_limits<int>::max()));
        // Each loop may take one descriptor between its check and another's.
        room->zone = *room->openLimit - kSpareDescriptors - static_cast<int>(impl_->acceptors.size());
    }
    for (auto& slot : impl_->acceptors) {
        std::lock_guard slotLock(slot->mutex);
        slot->handler = handler;
        slot->room = room;
        slot->acceptNext();
    }
}

void Listener::cancel() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return;
    impl_->closed = true;
    for (auto& slot : impl_->acceptors) {
        std::lock_guard slotLock(slot->mutex);
        slot->close();
    }
}

}  // namespace veltrane::net
