#include "platform/net/Listener.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>

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
}  // namespace

struct Listener::Impl : std::enable_shared_from_this<Impl> {
    explicit Impl(std::string label)
        : label(std::move(label)), acceptor(EventLoop::shared().context()), retry(EventLoop::shared().context()) {}

    void acceptNext() {
        // Called with `mutex` held. The listener's own loop waits for a
        // connection; accept4 then takes it non-blocking and close-on-exec with
        // its peer's address, where Asio's accept needs four more system calls
        // (two for close-on-exec, one for the mode, one for the address).
        acceptor.async_wait(asio::socket_base::wait_read,
                            [self = shared_from_this()](asio::error_code ec) { self->readable(ec); });
    }

    void readable(const asio::error_code& waitError) {
        for (;;) {
            AcceptHandler current;
            std::optional<asio::ip::tcp::socket> socket;
            std::string host;
            {
                std::lock_guard lock(mutex);
                if (closed) return;
                if (waitError || (nearLimit && !roomBelowSpare())) {
                    retryLater();
                    return;
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
                // below this one is taken, so the next one would eat into the spare.
                nearLimit = openLimit && fd >= *openLimit - kSpareDescriptors;
                // A connection stays on the loop that accepted it: handing it
                // to another loop costs a wake-up of that loop's thread for
                // its first read, and the close comes back the same way, which
                // is more than serving a request takes.
                asio::error_code ec;
                socket.emplace(EventLoop::shared().context());
                socket->assign(protocol, fd, ec);
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
                current = handler;
            }
            asio::error_code ignored;
            socket->set_option(asio::ip::tcp::no_delay(true), ignored);
            current(TCPConnection::create(std::move(*socket), label, std::move(host)));
        }
    }

    // After the last connection took a descriptor near the limit: whether
    // the lowest free one is below the spare again (connections closed).
    // Called with `mutex` held.
    bool roomBelowSpare() {
        const int probe = ::fcntl(acceptor.native_handle(), F_DUPFD_CLOEXEC, 0);
        if (probe < 0) return false;
        ::close(probe);
        return probe < *openLimit - kSpareDescriptors;
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

    const std::string label;
    std::mutex mutex;  // guards the acceptor between the caller's thread and completions
    asio::ip::tcp::acceptor acceptor;
    asio::steady_timer retry;
    asio::ip::tcp protocol = asio::ip::tcp::v4();
    asio::ip::address address;
    AcceptHandler handler;
    std::optional<int> openLimit;  // the soft descriptor limit when accepting began
    bool nearLimit = false;        // the last connection took a descriptor near it
    bool closed = false;
};

std::shared_ptr<Listener> Listener::create(const std::string& address, std::string connectionLabel) {
    auto impl = std::make_shared<Impl>(std::move(connectionLabel));
    int fd = -1;
    if (address.empty()) {
        fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            int off = 0;  // IPv4 peers arrive as IPv4-mapped addresses
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            impl->protocol = asio::ip::tcp::v6();
            impl->address = asio::ip::address_v6::any();
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
    if (fd < 0) fd = ::socket(impl->protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::system_category(), "listener socket");
    if (impl->address.is_v6() && impl->address.to_v6().is_v4_mapped()) {
        int off = 0;  // a mapped IPv4 address only works on a dual-stack socket
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    asio::error_code ec;
    impl->acceptor.assign(impl->protocol, fd, ec);
    if (ec) {
        ::close(fd);
        throw std::system_error(ec, "listener socket");
    }
    return std::shared_ptr<Listener>(new Listener(std::move(impl)));
}

Listener::~Listener() { cancel(); }

std::error_code Listener::bind(std::uint16_t port) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return std::make_error_code(std::errc::operation_canceled);
    asio::error_code ec;
    impl_->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) impl_->acceptor.bind(asio::ip::tcp::endpoint(impl_->address, port), ec);
    if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) impl_->acceptor.native_non_blocking(true, ec);  // accept4 says when the backlog is empty
    return standardError(ec);
}

std::uint16_t Listener::port() const {
    std::lock_guard lock(impl_->mutex);
    asio::error_code ec;
    auto endpoint = impl_->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void Listener::start(AcceptHandler handler) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return;
    impl_->handler = std::move(handler);
    // A limit too small to leave a spare is left to the resource-shortage path.
    if (std::optional<std::size_t> limit = sys::descriptorLimit(); limit && *limit > 2 * kSpareDescriptors)
        impl_->openLimit = static_cast<int>(std::min<std::size_t>(*limit, std::numeric_limits<int>::max()));
    impl_->acceptNext();
}

void Listener::cancel() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->closed) return;
    impl_->closed = true;
    asio::error_code ignored;
    impl_->acceptor.close(ignored);
    impl_->retry.cancel();
    impl_->handler = nullptr;
}

}  // namespace veltrane::net
