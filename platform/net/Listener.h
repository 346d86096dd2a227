#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "platform/net/Connection.h"

namespace veltrane::net {

// A listening TCP socket whose accepted connections each get their own serial
// queue. Every descriptor it opens is close-on-exec.
class Listener {
public:
    using AcceptHandler = std::function<void(std::shared_ptr<Connection>)>;

    // Opens the socket for `address`: an IP literal such as "127.0.0.1", or
    // the empty text for every interface (IPv6 and IPv4 together where the
    // system has IPv6). Accepted connections' queues carry `connectionLabel`.
    // Throws std::system_error when no socket can be opened.
    static std::shared_ptr<Listener> create(const std::string& address, std::string connectionLabel);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Binds with SO_REUSEADDR and listens, with one socket for each network
    // loop sharing the port (SO_REUSEPORT) so that connections spread over
    // the loops. A port someone else listens on is refused first, so a second
    // server never shares it silently. Port 0 lets the system choose.
    // EADDRINUSE comes back as std::errc::address_in_use.
    std::error_code bind(std::uint16_t port);
    std::uint16_t port() const;

    // Accepts until cancel(); `handler` runs for each new connection on the
    // network loop that accepted it (one at a time on each loop). Accepting
    // pauses while the next connection would take one of the process's last
    // kSpareDescriptors descriptors, and resumes once connections close, so
    // that peers never take the descriptors the rest of the process needs to
    // open a file or a pipe.
    void start(AcceptHandler handler);
    static constexpr int kSpareDescriptors = 16;
    // Closes the listening socket at once. A connection accepted just before
    // may still be handed to the handler.
    void cancel();

    struct Impl;

private:
    explicit Listener(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<Impl> impl_;
};

}  // namespace veltrane::net
