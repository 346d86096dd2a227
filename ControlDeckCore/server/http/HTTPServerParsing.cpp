// HTTPServer: the request parser and the response writer's wire form.
#include <array>
#include <charconv>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "ControlDeckCore/server/http/HTTPText.h"
#include "ControlDeckCore/server/http/PercentEncoding.h"
#include "ControlDeckCore/shared/UTF8.h"
#include "platform/crypto/Crypto.h"

namespace veltrane::deck {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kWebSocketGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// An optional "+" or "-" and one or more ASCII digits, nothing else, within
// 64 bits; anything else reads as 0 (no body).
std::int64_t declaredLength(const std::map<std::string, std::string>& headers) {
    auto it = headers.find("content-length");
    if (it == headers.end()) return 0;
    std::string_view text = it->second;
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return 0;
    for (char c : text)
        if (c < '0' || c > '9') return 0;
    std::uint64_t magnitude = 0;
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (status != std::errc() || end != text.data() + text.size()) return 0;
    if (negative) return 0;  // a body cannot run backwards; "-0" is 0 as well
    if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return 0;
    return static_cast<std::int64_t>(magnitude);
}

std::map<std::string, std::string> parseQuery(std::string_view text) {
    std::map<std::string, std::string> query;
    for (std::string_view pair : http::splitDroppingEmpty(text, '&')) {
        auto pieces = http::splitDroppingEmpty(pair, '=', 1);
        if (pieces.empty()) continue;
        std::string value;
        if (pieces.size() > 1) {
            auto decoded = removingPercentEncoding(pieces[1]);
            value = decoded ? std::move(*decoded) : std::string(pieces[1]);
        }
        query[std::string(pieces[0])] = std::move(value);
    }
    return query;
}

}  // namespace

HTTPServer::ParseResult HTTPServer::parseRequest(std::string& buffer) {
    ParseResult result;
    const std::size_t headEnd = buffer.find(kHeadEnd);
    if (headEnd == std::string::npos) return result;
    const std::string_view head(buffer.data(), headEnd);
    if (!utf8::isValid(head)) return result;

    // The request line, then a header on each line.
    std::string_view rest = head;
    bool more = true;
    auto nextLine = [&rest, &more] {
        const std::size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        if (end == std::string_view::npos)
            more = false;
        else
            rest.remove_prefix(end + 2);
        return line;
    };
    std::array<std::string_view, 3> requestLine;
    if (http::splitDroppingEmpty(nextLine(), ' ', requestLine) < 2) return result;

    HTTPRequest& request = result.request;
    while (more) {
        std::string_view line = nextLine();
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        request.headers[http::lowercased(http::trimmed(line.substr(0, colon)))] =
            std::string(http::trimmed(line.substr(colon + 1)));
    }

    const std::int64_t length = declaredLength(request.headers);
    if (length > kMaxContentLength) {
        result.kind = ParseResult::Kind::tooLarge;
        result.request = {};
        return result;
    }
    const std::size_t bodyStart = headEnd + kHeadEnd.size();
    const std::size_t bodyLength = static_cast<std::size_t>(length);
    if (buffer.size() - bodyStart < bodyLength) {
        result.request = {};
        return result;
    }

    request.method = std::string(requestLine[0]);
    std::array<std::string_view, 2> target;
    const std::size_t targetPieces = http::splitDroppingEmpty(requestLine[1], '?', target);
    // A target of question marks only leaves no path piece: it reads as "/".
    request.path = normalizePath(targetPieces == 0 ? std::string_view() : target[0]);
    if (targetPieces > 1) request.query = parseQuery(target[1]);
    request.body = buffer.substr(bodyStart, bodyLength);
    buffer.erase(0, bodyStart + bodyLength);
    result.kind = ParseResult::Kind::request;
    return result;
}

std::string HTTPServer::normalizePath(std::string_view path) {
    auto decoded = removingPercentEncoding(path);
    std::string out = decoded ? std::move(*decoded) : std::string(path);
    if (out.empty()) return "/";
    if (out.size() >= 2 && out.back() == '/') out.pop_back();
    return out;
}

std::string_view HTTPServer::reason(int status) {
    switch (status) {
        case 101: return "Switching Protocols";
        case 200: return "OK";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 409: return "Conflict";
        case 413: return "Payload Too Large";
        case 422: return "Unprocessable Entity";
        default: return "Error";
    }
}

namespace {
// The headers every answer ends with, after the handler's own (whose
// same-named ones give way to them), in this order; Content-Length first.
constexpr std::string_view kFixedNames[] = {"Content-Length", "Connection", "Access-Control-Allow-Origin",
                                            "Access-Control-Allow-Headers", "Access-Control-Allow-Methods"};
constexpr std::string_view kFixedTail =
    "Connection: close\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Headers: Authorization, Content-Type, X-Deck-Session\r\n"
    "Access-Control-Allow-Methods: GET, POST, PUT, PATCH, DELETE, OPTIONS\r\n"
    "\r\n";

template <class Number>
void appendDecimal(std::string& out, Number n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}
}  // namespace

// Made for every answer: written into one string sized up front.
std::string HTTPServer::responseBytes(const HTTPResponse& response) {
    std::size_t headerBytes = 0;
    for (const auto& [name, value] : response.headers) headerBytes += name.size() + value.size() + 4;
    std::string out;
    out.reserve(64 + headerBytes + kFixedTail.size() + (response.file ? 0 : response.body.size()));
    out += "HTTP/1.1 ";
    appendDecimal(out, response.status);
    out += ' ';
    out += reason(response.status);
    out += "\r\n";
    for (const auto& [name, value] : response.headers) {
        // Header names are case-insensitive: a handler's "content-length"
        // must not sit beside the real one.
        bool replaced = false;
        for (std::string_view fixed : kFixedNames) replaced = replaced || http::equalsIgnoringCase(name, fixed);
        if (replaced) continue;
        out += name;
        out += ": ";
        out += value;
        out += "\r\n";
    }
    out += "Content-Length: ";
    appendDecimal(out, response.contentLength());
    out += "\r\n";
    out += kFixedTail;
    if (!response.file) out += response.body;
    return out;
}

std::string HTTPServer::acceptKey(std::string_view key) {
    std::string material(key);
    material += kWebSocketGUID;
    auto digest = crypto::sha1(material);
    return crypto::base64(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

}  // namespace veltrane::deck
