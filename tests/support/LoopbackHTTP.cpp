#include "tests/support/LoopbackHTTP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "tests/support/LoopbackSocket.h"

namespace veltrane::testing {

namespace {

HTTPReply parseReply(const std::string& raw) {
    HTTPReply reply;
    std::size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) return reply;
    std::string head = raw.substr(0, headEnd);
    std::size_t lineEnd = head.find("\r\n");
    std::string statusLine = head.substr(0, lineEnd);
    std::size_t space = statusLine.find(' ');
    if (space == std::string::npos) return reply;
    reply.status = std::atoi(statusLine.c_str() + space + 1);
    std::size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        std::size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(pos, end - pos);
        std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            std::size_t valueStart = line.find_first_not_of(' ', colon + 1);
            reply.headers[name] = valueStart == std::string::npos ? "" : line.substr(valueStart);
        }
        pos = end + 2;
    }
    reply.body = raw.substr(headEnd + 4);
    return reply;
}

}  // namespace

namespace {

std::string requestText(const std::string& method, const std::string& target, const std::string& body,
                        const HeaderList& headers) {
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return request + "\r\n" + body;
}

}  // namespace

HTTPReply httpRequest(std::uint16_t port, const std::string& method, const std::string& target,
                      const std::string& body, const HeaderList& headers) {
    std::optional<std::string> raw = veltrane::testing::exchange(port, requestText(method, target, body, headers));
    return raw ? parseReply(*raw) : HTTPReply{};
}

HTTPReply tryHTTPRequest(std::uint16_t port, const std::string& method, const std::string& target,
                         const std::string& body, const HeaderList& headers) {
    veltrane::testing::LoopbackSocket socket = veltrane::testing::LoopbackSocket::tryConnect(port);
    if (!socket.valid() || !socket.sendAll(requestText(method, target, body, headers))) return {};
    std::optional<std::string> raw = socket.readToEnd();
    return raw ? parseReply(*raw) : HTTPReply{};
}

HeaderList bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

namespace {

// Binds 127.0.0.1:`port` (0: any) the way a server does; the bound port, or
// nothing when the address is taken.
std::optional<std::uint16_t> bindLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::optional<std::uint16_t> bound;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        bound = ntohs(address.sin_port);
    ::close(fd);
    return bound;
}

}  // namespace

std::uint16_t freeLoopbackPort() {
    std::optional<std::uint16_t> port = bindLoopback(0);
    if (!port) throw std::runtime_error("could not find a free port");
    return *port;
}

bool loopbackPortFree(std::uint16_t port) { return bindLoopback(port).has_value(); }

}  // namespace veltrane::testing
