// The request parser sees the bytes of a connection in whatever pieces the
// network delivers. The same bytes must parse the same whether they arrive
// whole, in two reads split anywhere, or one byte at a time. A request holds
// lower-case trimmed header names, one-line values, and exactly the declared
// body.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/server/http/HTTPServer.h"

using veltrane::deck::HTTPServer;
using Kind = HTTPServer::ParseResult::Kind;

namespace {
// Feeds `bytes` in reads of at most `step` bytes (0: split at `split` once),
// parsing after each read as the server does, and stopping at the first
// result that is not incomplete. Returns the result and what is left over
// (the unread rest appended, so it compares with the whole-buffer parse).
std::pair<HTTPServer::ParseResult, std::string> feed(const std::string& bytes, std::size_t split, std::size_t step) {
    std::string buffer;
    std::size_t at = 0;
    HTTPServer::ParseResult result;
    while (at < bytes.size()) {
        std::size_t take = step ? step : (at == 0 ? split : bytes.size());
        if (take == 0) take = bytes.size();
        buffer += bytes.substr(at, take);
        at += take;
        result = HTTPServer::parseRequest(buffer);
        if (result.kind != Kind::incomplete) break;
    }
    return {result, buffer + bytes.substr(std::min(at, bytes.size()))};
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t split = ((std::size_t{data[0]} << 8) | data[1]) % (size - 1);
    const std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    std::string whole = bytes;
    const auto expected = HTTPServer::parseRequest(whole);
    if (expected.kind == Kind::request) {
        if (expected.request.path.empty()) std::abort();
        if (whole.size() + expected.request.body.size() > bytes.size()) std::abort();
        if (static_cast<std::int64_t>(expected.request.body.size()) > HTTPServer::kMaxContentLength) std::abort();
        for (const auto& [name, value] : expected.request.headers) {
            for (char c : name)
                if (c >= 'A' && c <= 'Z') std::abort();
            for (const std::string* text : {&name, &value}) {
                if (text->find("\r\n") != std::string::npos) std::abort();
                if (!text->empty() && (text->front() == ' ' || text->back() == ' ')) std::abort();
            }
        }
        auto length = expected.request.headers.find("content-length");
        if (length == expected.request.headers.end() && !expected.request.body.empty()) std::abort();
        if (auto bearer = expected.request.bearer(); bearer && bearer->find("\r\n") != std::string::npos) std::abort();
    } else if (whole != bytes) {
        std::abort();  // nothing is consumed unless a request is complete
    }

    auto [inTwo, leftInTwo] = feed(bytes, split, 0);
    if (!(inTwo == expected) || leftInTwo != whole) std::abort();
    if (bytes.size() <= 4096) {
        auto [byteByByte, leftByByte] = feed(bytes, 0, 1);
        if (!(byteByByte == expected) || leftByByte != whole) std::abort();
    }
    if (expected.kind == Kind::request) {
        // Whatever a handler answers for it can be written.
        auto wire = HTTPServer::responseBytes({200, expected.request.headers, expected.request.body});
        if (wire.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) std::abort();
    }
    return 0;
}
