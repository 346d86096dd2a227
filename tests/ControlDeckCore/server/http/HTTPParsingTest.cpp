#include <gtest/gtest.h>

#include <array>
#include <span>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "ControlDeckCore/server/http/HTTPText.h"
#include "ControlDeckCore/server/http/PercentEncoding.h"

using namespace veltrane::deck;
using Kind = HTTPServer::ParseResult::Kind;

namespace {
HTTPServer::ParseResult parse(std::string bytes) { return HTTPServer::parseRequest(bytes); }
}  // namespace

TEST(HTTPParsing, IncompleteHeads) {
    const char* cases[] = {
        "",
        "GET / HTTP/1.1\r\nHost: x\r\n",          // no blank line yet
        "GET / HTTP/1.1\r\nHost: x\r\n\r",
        "GET\r\n\r\n",                            // one word on the request line
        "\r\n\r\n",                               // empty request line
        "GET\xff / HTTP/1.1\r\n\r\n",             // not UTF-8
        "POST /a HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcd",  // body short by one
    };
    for (const char* raw : cases) {
        std::string buffer = raw;
        EXPECT_EQ(HTTPServer::parseRequest(buffer).kind, Kind::incomplete) << raw;
        EXPECT_EQ(buffer, raw) << "nothing is consumed before a request is complete";
    }
}

TEST(HTTPParsing, RequestLineAndConsumption) {
    std::string buffer = "POST  /api/command  HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n";
    auto result = HTTPServer::parseRequest(buffer);
    ASSERT_EQ(result.kind, Kind::request);
    EXPECT_EQ(result.request.method, "POST");
    EXPECT_EQ(result.request.path, "/api/command");
    EXPECT_EQ(result.request.body, "abc");
    EXPECT_EQ(buffer, "GET / HTTP/1.1\r\n\r\n") << "only the first request is consumed";

    auto lower = parse("get /x\r\n\r\n");
    ASSERT_EQ(lower.kind, Kind::request);
    EXPECT_EQ(lower.request.method, "get") << "method letter case is kept";
    EXPECT_EQ(lower.request.path, "/x");
}

TEST(HTTPParsing, Headers) {
    auto result = parse(
        "GET / HTTP/1.1\r\n"
        "Content-Type:  text/plain \t\r\n"
        "X-Twice: first\r\n"
        "x-twice: second\r\n"
        "no colon here\r\n"
        "\tX-Padded\t: a: b \r\n"
        "Empty:\r\n"
        "\r\n");
    ASSERT_EQ(result.kind, Kind::request);
    const std::map<std::string, std::string> expected = {
        {"content-type", "text/plain"}, {"x-twice", "second"}, {"x-padded", "a: b"}, {"empty", ""}};
    EXPECT_EQ(result.request.headers, expected);
}

TEST(HTTPParsing, ContentLength) {
    struct Case {
        const char* header;
        const char* rest;  // what follows the head
        Kind kind;
        const char* body;
    } cases[] = {
        {"", "tail", Kind::request, ""},
        {"Content-Length: abc\r\n", "tail", Kind::request, ""},
        {"Content-Length: +5\r\n", "12345tail", Kind::request, "12345"},
        {"Content-Length: 5\r\n", "1234", Kind::incomplete, ""},
        {"Content-Length: -1\r\n", "tail", Kind::request, ""},  // never a backwards body
        {"Content-Length: - 1\r\n", "tail", Kind::request, ""},
        {"Content-Length: 1 2\r\n", "tail", Kind::request, ""},
        {"Content-Length: +\r\n", "tail", Kind::request, ""},
        {"Content-Length: 99999999999999999999\r\n", "tail", Kind::request, ""},  // overflow reads as 0
        {"Content-Length: 1572865\r\n", "", Kind::tooLarge, ""},
        {"Content-Length: 9223372036854775807\r\n", "", Kind::tooLarge, ""},
    };
    for (const auto& c : cases) {
        auto result = parse(std::string("POST /u HTTP/1.1\r\n") + c.header + "\r\n" + c.rest);
        EXPECT_EQ(result.kind, c.kind) << c.header;
        if (result.kind == Kind::request) {
            EXPECT_EQ(result.request.body, c.body) << c.header;
        }
    }
    std::string atLimit(1'572'864, 'b');
    auto accepted = parse("POST /u HTTP/1.1\r\nContent-Length: 1572864\r\n\r\n" + atLimit);
    ASSERT_EQ(accepted.kind, Kind::request);
    EXPECT_EQ(accepted.request.body.size(), atLimit.size());
}

TEST(HTTPParsing, TargetPathAndQuery) {
    using Query = std::map<std::string, std::string>;
    struct Case {
        const char* target;
        const char* path;
        Query query;
    } cases[] = {
        {"/api/state/", "/api/state", {}},
        {"/", "/", {}},
        {"//", "/", {}},
        {"/a%20b", "/a b", {}},
        {"/a/./../b", "/a/./../b", {}},          // dot segments stay
        {"/bad%zz", "/bad%zz", {}},              // undecodable path kept raw
        {"/x?k=1&k=2", "/x", {{"k", "2"}}},
        {"/x?flag", "/x", {{"flag", ""}}},
        {"/x?v=%E2%9C%93", "/x", {{"v", "\u2713"}}},
        {"/x?v=%E2%9C", "/x", {{"v", "%E2%9C"}}},   // invalid UTF-8 after decoding
        {"/x?v=%G1", "/x", {{"v", "%G1"}}},
        {"/x?v=a+b", "/x", {{"v", "a+b"}}},
        {"/x?%6B=v", "/x", {{"%6B", "v"}}},       // keys are never decoded
        {"/x?a=1&&b=2&", "/x", {{"a", "1"}, {"b", "2"}}},
        {"/x?a==b", "/x", {{"a", "=b"}}},
        {"/x?=v", "/x", {{"v", ""}}},             // empty pieces dropped before the key
        {"/x??a=1", "/x", {{"?a", "1"}}},
        {"?", "/", {}},                           // nothing but question marks
        {"???", "/", {}},
        {"?a=1", "a=1", {}},                      // the first piece is the path
    };
    for (const auto& c : cases) {
        auto result = parse(std::string("GET ") + c.target + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(result.kind, Kind::request) << c.target;
        EXPECT_EQ(result.request.path, c.path) << c.target;
        EXPECT_EQ(result.request.query, c.query) << c.target;
    }
}

TEST(HTTPParsing, NormalizePath) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "/"},      {"/", "/"},           {"/a/", "/a"},  {"/a//", "/a/"},
        {"%2F", "/"},   {"/%2541", "/%41"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(HTTPServer::normalizePath(in), std::string(out)) << in;
    EXPECT_EQ(HTTPServer::normalizePath("/%00x"), std::string("/\0x", 3));
}

TEST(HTTPParsing, Bearer) {
    using Headers = std::map<std::string, std::string>;
    struct Case {
        Headers headers;
        std::optional<std::string> bearer;
    } cases[] = {
        {{}, std::nullopt},
        {{{"authorization", "Bearer  tok123 "}}, "tok123"},
        {{{"authorization", "bEaReR abc"}}, "abc"},
        {{{"authorization", "Bearer \t "}}, ""},
        {{{"authorization", "Bearer "}}, std::nullopt},  // seven characters: too short
        {{{"authorization", "Basic dXNlcg=="}, {"x-deck-session", " s1 "}}, " s1 "},
        {{{"authorization", "Bearer a"}, {"x-deck-session", "s1"}}, "a"},
        {{{"x-deck-session", ""}}, ""},
        {{{"host", "x"}}, std::nullopt},
    };
    for (const auto& c : cases) {
        HTTPRequest request;
        request.headers = c.headers;
        EXPECT_EQ(request.bearer(), c.bearer);
    }
}

TEST(HTTPParsing, SplitDroppingEmptyTakesTheRestAfterMaxSplits) {
    using V = std::vector<std::string_view>;
    struct Case {
        std::string_view text;
        char separator;
        std::size_t maxSplits;
        V pieces;
    };
    const Case cases[] = {
        {"a  b c d", ' ', 2, {"a", "b", "c d"}},
        {"  a", ' ', 2, {"a"}},
        {"a=", '=', 1, {"a"}},
        {"a==b", '=', 1, {"a", "=b"}},
        {"?a?b", '?', 1, {"a", "b"}},
        {"??", '?', 1, {}},
        {"?a", '?', 0, {"?a"}},
        {"", ' ', 2, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(http::splitDroppingEmpty(c.text, c.separator, c.maxSplits), c.pieces) << c.text;
        // The bounded form the parser uses takes the same pieces without allocating.
        std::array<std::string_view, 3> held;
        const std::size_t count =
            http::splitDroppingEmpty(c.text, c.separator, std::span(held.data(), c.maxSplits + 1));
        EXPECT_EQ(V(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(count)), c.pieces) << c.text;
    }
    EXPECT_EQ(http::splitDroppingEmpty("&&", '&'), V{});
}

TEST(HTTPParsing, PercentDecoding) {
    EXPECT_EQ(removingPercentEncoding("a%2fb%2F"), "a/b/");
    EXPECT_EQ(removingPercentEncoding("%"), std::nullopt);
    EXPECT_EQ(removingPercentEncoding("%4"), std::nullopt);
    EXPECT_EQ(removingPercentEncoding("%ff"), std::nullopt);
    EXPECT_EQ(removingPercentEncoding("plain+text"), "plain+text");
}

TEST(HTTPWriting, ReasonPhrases) {
    const std::pair<int, const char*> cases[] = {
        {101, "Switching Protocols"}, {200, "OK"},        {204, "No Content"},           {400, "Bad Request"},
        {401, "Unauthorized"},        {403, "Forbidden"}, {404, "Not Found"},            {409, "Conflict"},
        {413, "Payload Too Large"},   {422, "Unprocessable Entity"}, {500, "Error"},    {206, "Error"},
        {503, "Error"},
    };
    for (const auto& [status, phrase] : cases) EXPECT_EQ(HTTPServer::reason(status), phrase) << status;
}

TEST(HTTPWriting, ResponseBytesReplaceTheFixedHeadersInAnyLetterCase) {
    HTTPResponse response{206, {{"content-length", "999"}, {"CONNECTION", "keep-alive"}, {"X-Own", "kept"}}, "body"};
    std::string bytes = HTTPServer::responseBytes(response);
    EXPECT_EQ(bytes.rfind("HTTP/1.1 206 Error\r\n", 0), 0u) << bytes;
    EXPECT_EQ(bytes.find("999"), std::string::npos);
    EXPECT_EQ(bytes.find("keep-alive"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nX-Own: kept\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("\r\nContent-Length: 4\r\n"), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 8), "\r\n\r\nbody");
}

// The whole answer on the wire, byte for byte: what every tablet parses.
TEST(HTTPWriting, ResponseBytesAreTheStatusTheHandlersHeadersThenTheFixedOnes) {
    const HTTPResponse response = HTTPResponse::ok(Json{{"up", true}});
    EXPECT_EQ(HTTPServer::responseBytes(response),
              "HTTP/1.1 200 OK\r\n"
              "Cache-Control: no-store\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 30\r\n"
              "Connection: close\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Access-Control-Allow-Headers: Authorization, Content-Type, X-Deck-Session\r\n"
              "Access-Control-Allow-Methods: GET, POST, PUT, PATCH, DELETE, OPTIONS\r\n"
              "\r\n"
              R"({"data":{"up":true},"ok":true})");
}

TEST(HTTPWriting, EnvelopesAndHelpers) {
    auto ok = HTTPResponse::ok(Json{{"b", 1}, {"a", "x/y"}});
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, R"({"data":{"a":"x\/y","b":1},"ok":true})");
    EXPECT_EQ(ok.headers.at("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(ok.headers.at("Cache-Control"), "no-store");

    auto err = HTTPResponse::err(DeckError::featureDisabled("Media"));
    EXPECT_EQ(err.status, 409);
    EXPECT_EQ(err.body,
              R"({"error":{"code":"feature_disabled","message":"Media is turned off in Veltrane Control Deck settings."},"ok":false})");

    EXPECT_EQ(HTTPResponse::text(404, "not found"),
              (HTTPResponse{404, {{"Content-Type", "text/plain; charset=utf-8"}}, "not found"}));
    EXPECT_EQ(HTTPResponse::html(200, "<p>").headers.at("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(HTTPResponse::bytes(200, std::string("\x89PNG", 4), "image/png"),
              (HTTPResponse{200, {{"Content-Type", "image/png"}}, std::string("\x89PNG", 4)}));
}

TEST(HTTPWriting, AcceptKeyFromTheWebSocketRFCExample) {
    EXPECT_EQ(HTTPServer::acceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
