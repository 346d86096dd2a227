#include "ControlDeckCore/lyrics/LyricsEndpoints.h"

#include <cstdlib>

#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::lyrics {
namespace {

// scheme://host[:port] with nothing after it: paths belong to the providers.
bool isOrigin(std::string_view s) {
    std::string_view rest;
    if (s.rfind("http://", 0) == 0)
        rest = s.substr(7);
    else if (s.rfind("https://", 0) == 0)
        rest = s.substr(8);
    else
        return false;
    if (rest.empty()) return false;
    for (const char c : rest) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= ' ' || b >= 0x7F || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\') return false;
    }
    return true;
}

}  // namespace

std::optional<LyricsEndpoints> LyricsEndpoints::parse(std::string_view json, std::string& error) {
    const auto value = deck::JSON::parse(json);
    if (!value || !value->is_object()) {
        error = "not a JSON object";
        return std::nullopt;
    }
    LyricsEndpoints endpoints;
    std::pair<const char*, std::string*> fields[] = {
        {"lrclib", &endpoints.lrclib}, {"qqSearch", &endpoints.qqSearch}, {"qqApi", &endpoints.qqApi},
        {"qqSite", &endpoints.qqSite}, {"catalog", &endpoints.catalog},   {"qqImage", &endpoints.qqImage},
    };
    for (const auto& [key, member] : value->items()) {
        std::string* target = nullptr;
        for (const auto& [name, field] : fields) {
            if (key == name) target = field;
        }
        if (!target) {
            error = "unknown key \"" + key + "\"";
            return std::nullopt;
        }
        std::string origin = member.is_string() ? member.get<std::string>() : std::string();
        if (!origin.empty() && origin.back() == '/') origin.pop_back();
        if (!isOrigin(origin)) {
            error = "\"" + key + "\" is not an http or https origin";
            return std::nullopt;
        }
        *target = std::move(origin);
    }
    return endpoints;
}

LyricsEndpoints LyricsEndpoints::current(std::string* error) {
    const char* text = std::getenv(kVariable);
    if (!text) return {};
    std::string reason;
    auto parsed = parse(text, reason);
    if (!parsed) {
        if (error) *error = std::string(kVariable) + ": " + reason;
        return {};
    }
    return *parsed;
}

}  // namespace veltrane::lyrics
