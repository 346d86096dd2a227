#pragma once
// Blocking HTTP GET over libcurl, shaped like a URL session without disk
// state: no cookies, no cache; each request its own easy handle, so a caller
// never waits on another caller's transfer.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::http {

struct Header {
    std::string name;
    std::string value;
};

struct GetRequest {
    std::string url;
    // Sent after the session's; a name given here replaces the session's
    // header of that name (names compare without case).
    std::vector<Header> headers;
    // The whole transfer: name resolution, connection, redirects and body.
    std::chrono::milliseconds timeout{2000};
    // A longer (decoded) body fails the transfer.
    std::size_t maxBodyBytes = 4 << 20;
};

struct Response {
    long status = 0;
    std::string body;  // decoded (gzip, deflate, br as the library offers)
};

class HTTPSession {
public:
    static constexpr long kMaxRedirects = 5;

    // Every request carries `headers` unless it sets one of the same name.
    explicit HTTPSession(std::vector<Header> headers);
    ~HTTPSession();
    HTTPSession(const HTTPSession&) = delete;
    HTTPSession& operator=(const HTTPSession&) = delete;

    // One GET on the caller's thread, http and https only (redirects too,
    // at most kMaxRedirects). None when the transfer fails: no answer in
    // time, a refused scheme, too many redirects, a body over the limit.
    // Any thread, several at once.
    std::optional<Response> get(const GetRequest& request) const;

    const std::vector<Header>& headers() const { return headers_; }

private:
    struct Share;
    std::vector<Header> headers_;
    Share* share_;  // connection and name caches shared by every request
};

}  // namespace veltrane::http
