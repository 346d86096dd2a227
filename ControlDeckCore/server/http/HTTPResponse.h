#pragma once

#include <map>
#include <string>
#include <string_view>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// What a request handler answers. The server adds Content-Length, the
// Connection and the cross-origin lines when it writes it.
struct HTTPResponse {
    int status = 200;
    std::map<std::string, std::string> headers;
    std::string body;

    // `object` as JSON text, not cached.
    static HTTPResponse json(int status, const Json& object);
    // 200 {"data":<data>,"ok":true}
    static HTTPResponse ok(const Json& data);
    // The error's status and {"error":{"code":...,"message":...},"ok":false}
    static HTTPResponse err(const DeckError& error);
    static HTTPResponse text(int status, std::string_view text);
    static HTTPResponse html(int status, std::string_view text);
    static HTTPResponse bytes(int status, std::string bytes, std::string type);

    bool operator==(const HTTPResponse&) const = default;
};

}  // namespace veltrane::deck
