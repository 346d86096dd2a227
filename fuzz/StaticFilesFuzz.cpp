// Any request target, normalised as the parser does, looked up among the
// dashboard's static files. No byte from beside the root is ever served, and
// for a path that begins with "/" the answer is exactly the file that an
// independent reading of the path names inside the root (a folder gives its
// index.html; "." and ".." pieces are dropped), or nothing.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "ControlDeckCore/server/http/HTTPServer.h"

using veltrane::deck::HTTPServer;
namespace fs = std::filesystem;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// base/www is the root; base/www-private and base/secret.txt sit beside it.
struct Tree {
    fs::path base;
    fs::path root;

    Tree() {
        std::string pattern = (fs::temp_directory_path() / "veltrane-static-XXXXXX").string();
        require(mkdtemp(pattern.data()) != nullptr);
        base = pattern;
        root = base / "www";
        for (const char* file : {"www/index.html", "www/app.js", "www/sub/index.html", "www/sub/page.css",
                                 "www/a b.txt", "www/deep/er/x.json", "www-private/secret.txt", "secret.txt"}) {
            fs::create_directories((base / file).parent_path());
            std::ofstream(base / file) << (std::string_view(file).starts_with("www/") ? "served:" : "secret:") << file;
        }
        fs::create_directories(root / "empty");
    }
    ~Tree() {
        std::error_code ignored;
        fs::remove_all(base, ignored);
    }
};

std::optional<std::string> expectedBody(const fs::path& root, const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    fs::path file = root;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        std::string piece = path.substr(at, slash - at);
        if (!piece.empty() && piece != "." && piece != "..") file /= piece;
        at = slash + 1;
    }
    std::error_code error;
    if (fs::is_directory(file, error)) file /= "index.html";
    if (!fs::is_regular_file(file, error)) return std::nullopt;
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Tree tree;
    const std::string path = HTTPServer::normalizePath(std::string_view(reinterpret_cast<const char*>(data), size));
    auto response = HTTPServer::file(tree.root, path);
    if (response) require(response->status == 200 && response->body.starts_with("served:"));
    if (!path.starts_with("/")) return 0;
    auto expected = expectedBody(tree.root, path);
    require(response.has_value() == expected.has_value());
    if (response) require(response->body == *expected);
    return 0;
}
