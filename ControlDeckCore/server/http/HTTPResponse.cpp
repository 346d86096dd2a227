#include "ControlDeckCore/server/http/HTTPResponse.h"

namespace veltrane::deck {

namespace {
constexpr const char* kJSONType = "application/json; charset=utf-8";

// Copied into every JSON answer: a copy makes each string once, a list of
// pairs twice.
const std::map<std::string, std::string>& jsonHeaders() {
    static const std::map<std::string, std::string> headers{{"Content-Type", kJSONType}, {"Cache-Control", "no-store"}};
    return headers;
}
}

HTTPResponse HTTPResponse::json(int status, const Json& object) { return {status, jsonHeaders(), JSON::text(object)}; }

HTTPResponse HTTPResponse::ok(const Json& data) {
    return okWritten([&data](JSONWriter& writer) { writer.value(data); });
}

HTTPResponse HTTPResponse::okWritten(const std::function<void(JSONWriter&)>& writeData, std::size_t capacity) {
    JSONWriter writer(capacity);
    writer.beginObject();
    writer.key("data");
    writeData(writer);
    writer.member("ok", true);
    writer.endObject();
    return {200, jsonHeaders(), std::move(writer).text()};
}

HTTPResponse HTTPResponse::err(const DeckError& error) {
    return json(error.status(),
                Json{{"ok", false}, {"error", Json{{"code", error.code()}, {"message", error.message()}}}});
}

HTTPResponse HTTPResponse::text(int status, std::string_view text) {
    return {status, {{"Content-Type", "text/plain; charset=utf-8"}}, std::string(text)};
}

HTTPResponse HTTPResponse::html(int status, std::string_view text) {
    return {status, {{"Content-Type", "text/html; charset=utf-8"}}, std::string(text)};
}

HTTPResponse HTTPResponse::bytes(int status, std::string bytes, std::string type) {
    return {status, {{"Content-Type", std::move(type)}}, std::move(bytes)};
}

HTTPResponse HTTPResponse::streamed(std::map<std::string, std::string> headers, FileBody file) {
    return {200, std::move(headers), {}, std::move(file)};
}

}  // namespace veltrane::deck
