#pragma once

#include <map>
#include <optional>
#include <string>

namespace veltrane::deck {

// One parsed request, as the request handler receives it.
struct HTTPRequest {
    std::string method;                          // as sent, letter case unchanged
    std::string path;                            // before the first "?", normalised
    std::map<std::string, std::string> query;    // values percent-decoded, keys as sent
    std::map<std::string, std::string> headers;  // lower-case names, trimmed; the last repeat wins
    std::string body;                            // exactly Content-Length bytes
    std::string remoteHost;                      // the peer's address; empty when it has none

    // The session token: a "Bearer" authorization (prefix in any letter case,
    // token trimmed), else the "x-deck-session" header as it is.
    std::optional<std::string> bearer() const;

    bool operator==(const HTTPRequest&) const = default;
};

}  // namespace veltrane::deck
