#include "tests/support/LoopbackSocket.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "platform/system/ProcessSetup.h"

namespace veltrane::testing {

LoopbackSocket LoopbackSocket::connect(std::uint16_t port, const std::string& address) {
    std::string error;
    auto socket = open(port, address, error);
    if (!socket.valid()) ADD_FAILURE() << error;
    return socket;
}

LoopbackSocket LoopbackSocket::tryConnect(std::uint16_t port, const std::string& address) {
    std::string error;
    return open(port, address, error);
}

LoopbackSocket LoopbackSocket::open(std::uint16_t port, const std::string& address, std::string& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_INET;
    if (address.find(':') != std::string::npos) {
        family = AF_INET6;
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        ::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
        length = sizeof(sockaddr_in6);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &in->sin_addr);
        length = sizeof(sockaddr_in);
    }
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return {};
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        error = "connect to " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return {};
    }
    return LoopbackSocket(fd);
}

LoopbackSocket::LoopbackSocket(LoopbackSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)) {}

LoopbackSocket& LoopbackSocket::operator=(LoopbackSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        pending_ = std::move(other.pending_);
    }
    return *this;
}

LoopbackSocket::~LoopbackSocket() { close(); }

void LoopbackSocket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool LoopbackSocket::sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void LoopbackSocket::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

std::optional<std::string> LoopbackSocket::readSome(std::chrono::milliseconds guard) {
    if (!pending_.empty()) return std::exchange(pending_, {});
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(guard.count()));
    if (ready <= 0) return std::nullopt;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0) return errno == ECONNRESET ? std::optional<std::string>("") : std::nullopt;
    return std::string(chunk, static_cast<std::size_t>(n));
}

std::optional<std::string> LoopbackSocket::readToEnd(std::chrono::milliseconds guard) {
    std::string all;
    auto until = std::chrono::steady_clock::now() + guard;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto some = readSome(left);
        if (!some) return std::nullopt;
        if (some->empty()) return all;
        all += *some;
    }
}

std::optional<std::string> LoopbackSocket::readExactly(std::size_t n, std::chrono::milliseconds guard) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + guard;
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto some = readSome(left);
        if (!some || some->empty()) return std::nullopt;
        got += *some;
    }
    pending_ = got.substr(n);
    got.resize(n);
    return got;
}

std::optional<std::string> LoopbackSocket::readHead(std::chrono::milliseconds guard) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + guard;
    for (;;) {
        if (auto end = got.find("\r\n\r\n"); end != std::string::npos) {
            pending_ = got.substr(end + 4);
            got.resize(end + 4);
            return got;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto some = readSome(left);
        if (!some || some->empty()) return std::nullopt;
        got += *some;
    }
}

bool LoopbackSocket::silentFor(std::chrono::milliseconds wait) {
    if (!pending_.empty()) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 0;
}

std::optional<std::string> exchange(std::uint16_t port, std::string_view request) {
    auto socket = LoopbackSocket::connect(port);
    if (!socket.valid() || !socket.sendAll(request)) return std::nullopt;
    return socket.readToEnd();
}

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count - 1;  // the directory stream itself
}

std::size_t settledDescriptorCount() {
    std::size_t last = openDescriptorCount();
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(100ms);
        const std::size_t now = openDescriptorCount();
        if (now == last) return now;
        last = now;
    }
    return last;
}

}  // namespace veltrane::testing

namespace veltrane::testing {

bool allowDescriptors(std::size_t wanted) {
    const std::optional<std::size_t> limit = sys::raiseDescriptorLimit(wanted);
    return !limit || *limit >= wanted;
}

}  // namespace veltrane::testing
