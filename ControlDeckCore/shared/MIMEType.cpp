#include "ControlDeckCore/shared/MIMEType.h"

#include <utility>

namespace veltrane::deck {

std::string mimeType(std::string_view path) {
    std::string_view name = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    std::size_t dot = name.rfind('.');
    std::string extension(dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1));
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    static const std::pair<const char*, const char*> table[] = {
        {"html", "text/html; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"json", "application/manifest+json"},
        {"webmanifest", "application/manifest+json"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"svg", "image/svg+xml"},
        {"ico", "image/x-icon"},
        {"woff2", "font/woff2"},
        {"woff", "font/woff"},
        {"map", "application/json"},
        {"txt", "text/plain; charset=utf-8"},
    };
    for (const auto& [ext, type] : table)
        if (extension == ext) return type;
    return "application/octet-stream";
}

}  // namespace veltrane::deck
