#pragma once
// A blocking TCP client for tests that speak raw bytes to our servers. Every
// wait has a generous guard so a broken server fails the test, never hangs it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::testing {

using namespace std::chrono_literals;

class LoopbackSocket {
public:
    static constexpr std::chrono::milliseconds kGuard = 30s;

    // Connects to `address`:`port`; fails the calling test (and gives an
    // invalid socket) when it cannot.
    static LoopbackSocket connect(std::uint16_t port, const std::string& address = "127.0.0.1");
    // The same without failing the test: invalid when nothing accepts.
    static LoopbackSocket tryConnect(std::uint16_t port, const std::string& address = "127.0.0.1");

    LoopbackSocket() = default;
    LoopbackSocket(LoopbackSocket&& other) noexcept;
    LoopbackSocket& operator=(LoopbackSocket&& other) noexcept;
    ~LoopbackSocket();

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool sendAll(std::string_view bytes);
    void shutdownWrite();
    void close();

    // Everything until the peer closes; nullopt when the guard runs out first.
    std::optional<std::string> readToEnd(std::chrono::milliseconds guard = kGuard);
    // Exactly `n` bytes; nullopt on end of stream or when the guard runs out.
    std::optional<std::string> readExactly(std::size_t n, std::chrono::milliseconds guard = kGuard);
    // Up to and including the first "\r\n\r\n".
    std::optional<std::string> readHead(std::chrono::milliseconds guard = kGuard);
    // True when nothing arrives within `wait` (the peer neither answered nor closed).
    bool silentFor(std::chrono::milliseconds wait);

private:
    explicit LoopbackSocket(int fd) : fd_(fd) {}
    static LoopbackSocket open(std::uint16_t port, const std::string& address, std::string& error);
    // One read of what is there, waiting up to `guard`; "" at end of stream,
    // nullopt on time-out or error.
    std::optional<std::string> readSome(std::chrono::milliseconds guard);
    int fd_ = -1;
    std::string pending_;  // read past what a caller asked for
};

// Sends `request` on a new connection and returns the whole answer.
std::optional<std::string> exchange(std::uint16_t port, std::string_view request);

// Descriptors open in this process right now.
std::size_t openDescriptorCount();
// The same once it has stopped changing: the server's side of connections
// whose answers were already read may close a moment after the client's.
std::size_t settledDescriptorCount();

// Raises this process's descriptor limit to at least `wanted` (within the
// hard limit); false when the hard limit is lower.
bool allowDescriptors(std::size_t wanted);

}  // namespace veltrane::testing
