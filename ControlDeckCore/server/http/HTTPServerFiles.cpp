// HTTPServer: static files, their content types and the built-in page.
#include <fstream>
#include <iterator>
#include <system_error>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "ControlDeckCore/server/http/HTTPText.h"
#include "ControlDeckCore/shared/MIMEType.h"

namespace veltrane::deck {

namespace fs = std::filesystem;

namespace {
std::string withoutTrailingSeparator(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::optional<std::string> readRegularFile(const fs::path& path) {
    std::error_code ec;
    // Only regular files: a FIFO or device under the root would block or never end.
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}
}  // namespace

std::optional<HTTPResponse> HTTPServer::file(const fs::path& root, std::string_view path) {
    // A decoded "%00" must never reach the file system, where it would cut
    // the name short.
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    std::string_view relative = path == "/" ? std::string_view("index.html") : path.substr(path.empty() ? 0 : 1);
    fs::path resolved = root;
    for (std::string_view piece : http::splitDroppingEmpty(relative, '/'))
        if (piece != "." && piece != "..") resolved /= fs::path(std::string(piece));

    const std::string rootText = withoutTrailingSeparator(root.lexically_normal().string());
    const std::string resolvedText = withoutTrailingSeparator(resolved.lexically_normal().string());
    if (resolvedText.compare(0, rootText.size(), rootText) != 0)
        return HTTPResponse::text(403, "forbidden");

    std::error_code ec;
    if (fs::is_directory(resolved, ec)) resolved /= "index.html";
    auto bytes = readRegularFile(resolved);
    if (!bytes) return std::nullopt;
    return HTTPResponse::bytes(200, std::move(*bytes), mimeType(resolved.string()));
}

HTTPResponse HTTPServer::builtInPage() {
    static constexpr std::string_view kPage =
        "<!doctype html>\n"
        "<html lang=\"en\">\n"
        "<head>\n"
        "<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Veltrane Control Deck</title>\n"
        "<style>\n"
        "body{margin:0;min-height:100vh;display:grid;place-items:center;background:#000;color:#fff;"
        "font:17px system-ui,sans-serif}\n"
        "main{max-width:28rem;padding:2rem}\n"
        "h1{font-size:28px}\n"
        "p{color:rgba(235,235,245,.6);line-height:1.4}\n"
        "</style>\n"
        "</head>\n"
        "<body>\n"
        "<main>\n"
        "<h1>Veltrane Control Deck</h1>\n"
        "<p>The companion is running, but dashboard assets are not bundled yet. Open this URL from a tablet after "
        "building the dashboard, or run the packaged app.</p>\n"
        "</main>\n"
        "</body>\n"
        "</html>\n";
    return HTTPResponse::html(200, kPage);
}

}  // namespace veltrane::deck
