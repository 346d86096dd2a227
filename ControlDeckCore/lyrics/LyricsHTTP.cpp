#include <algorithm>
#include <cmath>

#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/http/URLQuery.h"

namespace veltrane::lyrics {
namespace {

std::chrono::milliseconds milliseconds(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000.0)));
}

}  // namespace

const http::HTTPSession& LyricsLookup::session() {
    // Left alive at exit: lookups hanging on a service still use it then.
    static const auto* shared = new http::HTTPSession({{"User-Agent", kUserAgent}, {"Accept", kAccept}});
    return *shared;
}

std::string LyricsLookup::serviceURL(std::string_view origin, std::string_view path, const QueryItems& items) {
    std::string url(origin);
    url += path;
    if (!items.empty()) url += "?" + http::queryString(items);
    return url;
}

std::optional<Json> LyricsLookup::getJSON(const std::optional<std::string>& url, const OptionalText& referer,
                                          double timeout) {
    if (!url || !(timeout > 0)) return std::nullopt;
    http::GetRequest request;
    request.url = *url;
    if (referer) request.headers.push_back({"Referer", *referer});
    // The transfer returns on this thread, so waiting for the caller's
    // time-out beyond the request's own bound would wait for nothing.
    request.timeout = milliseconds(std::min(timeout, kRequestTimeout));
    request.maxBodyBytes = kMaxJSONBodyBytes;
    const auto response = session().get(request);
    if (!response) return std::nullopt;
    return decodeJSONBody(response->body);
}

std::optional<std::string> LyricsLookup::downloadData(const std::string& url, double timeout) {
    if (!(timeout > 0)) return std::nullopt;
    http::GetRequest request;
    request.url = url;
    request.timeout = milliseconds(std::min(timeout, 3600.0));
    request.maxBodyBytes = kMaxDownloadBytes;
    auto response = session().get(request);
    if (!response || response->body.empty()) return std::nullopt;
    return std::move(response->body);
}

}  // namespace veltrane::lyrics
