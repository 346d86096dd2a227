#include "ControlDeckCore/server/http/HTTPRequest.h"

#include "ControlDeckCore/server/http/HTTPText.h"

namespace veltrane::deck {

std::optional<std::string> HTTPRequest::bearer() const {
    if (headers.empty()) return std::nullopt;
    if (auto it = headers.find("authorization"); it != headers.end()) {
        const std::string& value = it->second;
        if (value.size() >= 8 && http::lowercased(std::string_view(value).substr(0, 7)) == "bearer ")
            return std::string(http::trimmed(std::string_view(value).substr(7)));
    }
    if (auto it = headers.find("x-deck-session"); it != headers.end()) return it->second;
    return std::nullopt;
}

}  // namespace veltrane::deck
