#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane::deck;
namespace fs = std::filesystem;

namespace {
class StaticFiles : public ::testing::Test {
protected:
    void SetUp() override {
        root = base / "www";
        fs::create_directories(root / "assets");
        fs::create_directories(root / "docs");
        put(root / "index.html", "<h1>home</h1>");
        put(root / "assets" / "APP.JS", "js()");
        put(root / "docs" / "index.html", "docs");
        put(root / "secret", "inner secret");
        put(base / "secret", "outside");
    }
    static void put(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

    veltrane::testing::TempDirectory folder;
    fs::path base = folder.path();
    fs::path root;
};
}  // namespace

TEST_F(StaticFiles, ResolvesInsideTheRoot) {
    struct Case {
        const char* path;
        const char* body;
        const char* type;
    } cases[] = {
        {"/", "<h1>home</h1>", "text/html; charset=utf-8"},
        {"/index.html", "<h1>home</h1>", "text/html; charset=utf-8"},
        {"/assets/APP.JS", "js()", "text/javascript; charset=utf-8"},
        {"/docs", "docs", "text/html; charset=utf-8"},  // a directory serves its index.html
        {"/../secret", "inner secret", "application/octet-stream"},
        {"/assets/../APP.JS", "js()", "text/javascript; charset=utf-8"},  // ".." is dropped, not followed
        {"/./assets//APP.JS", "js()", "text/javascript; charset=utf-8"},
    };
    for (const auto& c : cases) {
        auto response = HTTPServer::file(root, c.path);
        ASSERT_TRUE(response.has_value()) << c.path;
        EXPECT_EQ(response->status, 200) << c.path;
        EXPECT_EQ(response->body, c.body) << c.path;
        EXPECT_EQ(response->headers, (std::map<std::string, std::string>{{"Content-Type", c.type}})) << c.path;
    }
}

TEST_F(StaticFiles, MissingUnreadableAndNULPathsGiveNoResponse) {
    EXPECT_FALSE(HTTPServer::file(root, "/missing.js").has_value());
    EXPECT_FALSE(HTTPServer::file(root, "/assets").has_value()) << "a directory without index.html";
    ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
    EXPECT_FALSE(HTTPServer::file(root, "/pipe").has_value()) << "a FIFO would block the reader";
    // "/secret%00.png" decodes to a NUL: the file system would see "secret".
    EXPECT_FALSE(HTTPServer::file(root, std::string("/secret\0.png", 12)).has_value());
    EXPECT_FALSE(HTTPServer::file(root, std::string("/secret\0", 8)).has_value());
    if (::geteuid() != 0) {
        put(root / "locked", "x");
        fs::permissions(root / "locked", fs::perms::none);
        EXPECT_FALSE(HTTPServer::file(root, "/locked").has_value());
    }
}

TEST_F(StaticFiles, RootWithTrailingSlashOrDotsStillContainsItsFiles) {
    auto response = HTTPServer::file(fs::path(root.string() + "/"), "/assets/APP.JS");
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->body, "js()");
    auto dotted = HTTPServer::file(root / "assets" / "..", "/index.html");
    ASSERT_TRUE(dotted.has_value());
    EXPECT_EQ(dotted->body, "<h1>home</h1>");
}

TEST(BuiltInPage, IsTheSelfContainedPlaceholder) {
    auto page = HTTPServer::builtInPage();
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headers, (std::map<std::string, std::string>{{"Content-Type", "text/html; charset=utf-8"}}));
    for (const char* part : {"<html lang=\"en\">", "<meta charset=\"utf-8\">", "width=device-width",
                             "<title>Veltrane Control Deck</title>", "<h1>Veltrane Control Deck</h1>",
                             "The companion is running, but dashboard assets are not bundled yet. Open this URL from a "
                             "tablet after building the dashboard, or run the packaged app.",
                             "rgba(235,235,245,.6)", "max-width:28rem", "padding:2rem", "17px", "font-size:28px",
                             "line-height:1.4"})
        EXPECT_NE(page.body.find(part), std::string::npos) << part;
    EXPECT_EQ(page.body.find("<script"), std::string::npos);
    EXPECT_EQ(page.body.find("<link"), std::string::npos);
}
