#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "ControlDeckCore/adapters/FakeAppLauncher.h"
#include "ControlDeckCore/data/LayoutDocument.h"
#include "platform/process/Shell.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

using ::testing::HasSubstr;

class DataRoutes : public RuntimeFixture {
protected:
    void SetUp() override {
        runtime = DeckRuntime::create(optionsFor(data.path()), adapters);
        runtime->setOnStateChange([this](const DeckState&) { ++stateChanges; });
        runtime->start();
        pair();
        stateChanges = 0;
    }
    Json fileJSON(const std::string& name) const {
        std::ifstream in(data.path() / name);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return JSON::parse(text).value_or(Json("unreadable"));
    }
    std::atomic<int> stateChanges{0};
};

TEST_F(DataRoutes, SettingsTakeOnlyAKnownTheme) {
    HTTPReply reply = authed("PUT", "/api/settings", R"({"theme":"dark","mediaEnabled":false})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    Json settings = body(reply)["data"];
    EXPECT_EQ(settings["theme"], "dark");
    EXPECT_EQ(settings["mediaEnabled"], true);
    EXPECT_EQ(settings.size(), 12u);
    EXPECT_EQ(stateChanges.load(), 1);
    EXPECT_EQ(fileJSON("settings.json")["theme"], "dark");
    EXPECT_EQ(fileJSON("settings.json").size(), 15u);

    for (const char* ignored : {R"({"theme":"Light"})", R"({"theme":3})", R"({})"}) {
        SCOPED_TRACE(ignored);
        HTTPReply same = authed("PUT", "/api/settings", ignored);
        EXPECT_EQ(same.status, 200);
        EXPECT_EQ(body(same)["data"]["theme"], "dark");
    }
    EXPECT_EQ(stateChanges.load(), 4);
    EXPECT_EQ(body(authed("GET", "/api/settings"))["data"]["theme"], "dark");
}

TEST_F(DataRoutes, LayoutReplaceRestoreAndTheirFile) {
    const std::string layout =
        R"({"pages":[{"id":"home","name":"Home","widgets":[{"id":"v","type":"volume","x":11,"y":0,"w":4,"h":2,"settings":{}}]}]})";
    HTTPReply put = authed("PUT", "/api/layout", layout);
    ASSERT_EQ(put.status, 200) << put.body;
    Json stored = body(put)["data"];
    EXPECT_EQ(stored["activePageId"], "system");
    ASSERT_EQ(stored["pages"].size(), 1u);
    EXPECT_EQ(stored["pages"][0]["widgets"][1]["x"], 8);
    EXPECT_EQ(fileJSON("layout.json"), stored);
    EXPECT_EQ(body(authed("GET", "/api/layout"))["data"], stored);

    HTTPReply restored = authed("POST", "/api/layout/restore");
    EXPECT_EQ(restored.headers["content-type"], "application/json; charset=utf-8");
    EXPECT_EQ(body(restored)["data"], LayoutDocument::makeDefault().encode());
    EXPECT_EQ(restored.body, JSON::text(Json{{"ok", true}, {"data", LayoutDocument::makeDefault().encode()}}));
    EXPECT_EQ(fileJSON("layout.json"), LayoutDocument::makeDefault().encode());
    EXPECT_EQ(stateChanges.load(), 2);

    // A bad layout leaves the stored one as it was.
    EXPECT_EQ(authed("PUT", "/api/layout", "nope").status, 400);
    EXPECT_EQ(fileJSON("layout.json"), LayoutDocument::makeDefault().encode());
}

TEST_F(DataRoutes, ActionsKeepValidElementsAndDropTheRest) {
    const std::string actions = R"({"actions":[
        {"id":"a","title":"Lock","type":"lock_mac"},
        {"id":"b","title":"Vol","commandType":"set_volume","icon":"speaker","payload":{"level":1}},
        {"id":"c","title":"Bad","commandType":"format_disk"},
        {"id":"d","title":"Listy","commandType":"toggle_mute","payload":[1,2]},
        {"title":"no id","commandType":"lock_mac"},
        {},
        7
    ]})";
    HTTPReply reply = authed("PUT", "/api/actions", actions);
    ASSERT_EQ(reply.status, 200) << reply.body;
    Json expected = Json::array({
        Json{{"id", "a"}, {"title", "Lock"}, {"icon", "star"}, {"commandType", "lock_mac"}, {"payload", Json::object()}},
        Json{{"id", "b"}, {"title", "Vol"}, {"icon", "speaker"}, {"commandType", "set_volume"}, {"payload", {{"level", 1}}}},
        Json{{"id", "d"}, {"title", "Listy"}, {"icon", "star"}, {"commandType", "toggle_mute"}, {"payload", Json::object()}},
    });
    EXPECT_EQ(body(reply)["data"], expected);
    EXPECT_EQ(body(authed("GET", "/api/actions"))["data"], expected);
    EXPECT_EQ(fileJSON("actions.json"), expected);
    EXPECT_EQ(stateChanges.load(), 1);

    for (const char* clear : {R"({"actions":[]})", "[]"}) {
        SCOPED_TRACE(clear);
        authed("PUT", "/api/actions", R"([{"id":"x","title":"t","type":"lock_mac"}])");
        EXPECT_EQ(body(authed("PUT", "/api/actions", clear))["data"], Json::array());
        EXPECT_EQ(fileJSON("actions.json"), Json::array());
    }
    EXPECT_EQ(authed("PUT", "/api/actions", R"({"list":[]})").status, 400);
}

TEST_F(DataRoutes, AppsListWithIconLinks) {
    Json apps = body(authed("GET", "/api/apps"))["data"];
    ASSERT_EQ(apps.size(), FakeAppLauncher::sampleApps().size());
    EXPECT_EQ(apps[0], Json({{"bundleId", "com.apple.Safari"},
                             {"name", "Safari"},
                             {"path", "/Applications/Safari.app"},
                             {"icon", "/api/apps/com.apple.Safari/icon"}}));
}

TEST_F(DataRoutes, ScreenshotsAreMatchedInEitherCaseAndDeleted) {
    const std::string id = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    std::filesystem::create_directories(data.path() / "screenshots");
    {
        std::ofstream out(data.path() / "screenshots" / (id + ".png"), std::ios::binary);
        out << "\x89PNG-bytes";
    }
    std::string lower = id;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& asked : {id, lower}) {
        SCOPED_TRACE(asked);
        HTTPReply png = authed("GET", "/api/screenshots/" + asked);
        EXPECT_EQ(png.status, 200);
        EXPECT_EQ(png.headers["content-type"], "image/png");
        EXPECT_EQ(png.body, "\x89PNG-bytes");
    }
    EXPECT_EQ(body(authed("DELETE", "/api/screenshots/" + lower))["data"], Json({{"deleted", true}}));
    EXPECT_FALSE(std::filesystem::exists(data.path() / "screenshots" / (id + ".png")));
    EXPECT_EQ(authed("GET", "/api/screenshots/" + id).status, 404);
    // A missing file is no error for a delete.
    EXPECT_EQ(authed("DELETE", "/api/screenshots/" + id).status, 200);
    EXPECT_EQ(stateChanges.load(), 2);
    EXPECT_EQ(authed("DELETE", "/api/screenshots/not-a-uuid").status, 404);
}

TEST_F(DataRoutes, BuiltInPageWithoutADashboard) {
    for (const char* path : {"/", "/index.html"}) {
        SCOPED_TRACE(path);
        HTTPReply page = request("GET", path);
        EXPECT_EQ(page.status, 200);
        EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
        EXPECT_THAT(page.body, HasSubstr("<title>Veltrane Control Deck</title>"));
        EXPECT_THAT(page.body, HasSubstr("dashboard assets are not bundled yet"));
    }
    HTTPReply missing = request("GET", "/settings");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.headers["content-type"], "text/plain; charset=utf-8");
}

TEST_F(DataRoutes, FileTransferIsGated) {
    EXPECT_EQ(body(authed("GET", "/api/files"))["data"]["enabled"], true);
    DeckSettings settings = runtime->settings();
    settings.fileTransferEnabled = false;
    runtime->updateSettings(settings);
    HTTPReply off = authed("GET", "/api/files");
    EXPECT_EQ(off.status, 409);
    EXPECT_EQ(body(off)["error"]["message"], "File transfer is turned off in Veltrane Control Deck settings.");
}

// A dashboard folder beside a secret file that must never be served.
class StaticFiles : public RuntimeFixture {
protected:
    void SetUp() override {
        const std::filesystem::path root = site.path() / "dashboard";
        std::filesystem::create_directories(root / "assets");
        std::ofstream(root / "index.html") << "INDEX";
        std::ofstream(root / "assets" / "app.js") << "APP";
        std::ofstream(site.path() / "secret.txt") << "SECRET";
        RuntimeOptions options = optionsFor(data.path());
        options.staticDirectory = root;
        startRuntime(options);
    }
    TemporaryDirectory site;
};

TEST_F(StaticFiles, ServesTheDashboardAndNeverLeavesItsRoot) {
    EXPECT_EQ(request("GET", "/").body, "INDEX");
    EXPECT_EQ(request("GET", "/assets/app.js").body, "APP");
    EXPECT_EQ(request("GET", "/assets/app.js").headers["content-type"], "text/javascript; charset=utf-8");
    // Client-side routes get the dashboard; unknown API paths do not.
    EXPECT_EQ(request("GET", "/pairing").body, "INDEX");
    HTTPReply api = request("GET", "/api/nothing");
    EXPECT_EQ(api.status, 404);
    EXPECT_THAT(api.body, HasSubstr("Dashboard assets are missing"));
}

// curl sends each target exactly as written (--path-as-is), so the server
// sees the raw dot segments and escapes.
TEST_F(StaticFiles, PathTraversalMatrixNeverServesOutsideTheRoot) {
    const char* targets[] = {
        "/../secret.txt",
        "/assets/../../secret.txt",
        "/%2e%2e/secret.txt",
        "/%2E%2E/%2e%2e/secret.txt",
        "/assets/%2e%2e/%2e%2e/secret.txt",
        "/..%2fsecret.txt",
        "/%2e%2e%2fsecret.txt",
        "/assets%2f..%2f..%2fsecret.txt",
        "/..%2f..%2f..%2f..%2fetc%2fpasswd",
        "/../../../../etc/passwd",
        "/secret.txt%00",
        "/secret.txt%00.html",
        "/..%00/secret.txt",
        "/%00../secret.txt",
        "//..//secret.txt",
        "/.%2e/secret.txt",
        "/%2e./secret.txt",
        "/assets/..%5c..%5csecret.txt",
    };
    const std::string base = "http://127.0.0.1:" + std::to_string(runtime->port());
    for (const char* target : targets) {
        SCOPED_TRACE(target);
        process::ShellResult result = process::Shell::run("/usr/bin/curl",
                                        {"--path-as-is", "--silent", "--show-error", "--max-time", "30", "--output",
                                         "-", "--write-out", "\n%{http_code}", base + target},
                                        60);
        ASSERT_EQ(result.status, 0) << result.stderr;
        EXPECT_THAT(result.stdout, ::testing::Not(HasSubstr("SECRET")));
        EXPECT_THAT(result.stdout, ::testing::Not(HasSubstr("root:")));
        const std::string code = result.stdout.substr(result.stdout.rfind('\n') + 1);
        EXPECT_TRUE(code == "200" || code == "403" || code == "404") << code;
    }
    // The same client reaches files inside the root.
    process::ShellResult inside = process::Shell::run("/usr/bin/curl", {"--path-as-is", "--silent", base + "/assets/app.js"}, 60);
    EXPECT_EQ(inside.stdout, "APP");
}

}  // namespace
}  // namespace veltrane::deck::testing
