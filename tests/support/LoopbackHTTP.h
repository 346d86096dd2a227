#pragma once
// HTTP/1.1 over LoopbackSocket for tests: one request per connection to
// 127.0.0.1, read until the server closes (it answers "Connection: close").

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace veltrane::testing {

struct HTTPReply {
    int status = 0;  // 0: no answer (the connection failed or closed without one)
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The target is sent exactly as given (no normalising, no escaping).
HTTPReply httpRequest(std::uint16_t port, const std::string& method, const std::string& target,
                      const std::string& body = {}, const HeaderList& headers = {});

// The same, for a server that may be gone: a refused connection is no
// failure of the test, just an answer with status 0.
HTTPReply tryHTTPRequest(std::uint16_t port, const std::string& method, const std::string& target,
                         const std::string& body = {}, const HeaderList& headers = {});

// A header list with "Authorization: Bearer <token>".
HeaderList bearer(const std::string& token);

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t freeLoopbackPort();
// True when nothing listens on 127.0.0.1:`port`.
bool loopbackPortFree(std::uint16_t port);

}  // namespace veltrane::testing
