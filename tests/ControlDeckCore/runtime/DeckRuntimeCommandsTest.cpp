// POST /api/command over real HTTP, with the Fake adapters behind the runtime.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "ControlDeckCore/adapters/FakeAppLauncher.h"
#include "ControlDeckCore/adapters/FakeClipboard.h"
#include "ControlDeckCore/adapters/FakeLinks.h"
#include "ControlDeckCore/adapters/FakeLock.h"
#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/adapters/FakeScreenshot.h"
#include "ControlDeckCore/adapters/FakeShortcuts.h"
#include "ControlDeckCore/adapters/FakeVolumeAdapter.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

namespace fs = std::filesystem;

class CommandRouteTest : public RuntimeFixture {
protected:
    // Tests replace adapters first, then begin.
    void begin() {
        startRuntime();
        pair();
    }

    HTTPReply command(const Json& object) { return authed("POST", "/api/command", JSON::text(object)); }

    // A call through the runtime queue: what the queue did before it (the
    // command's adapter calls) happens before what the test reads after it.
    DeckSettings settled() { return runtime->settings(); }

    void changeSettings(const std::function<void(DeckSettings&)>& change) {
        DeckSettings settings = runtime->settings();
        change(settings);
        runtime->updateSettings(settings);
    }

    std::shared_ptr<FakeVolumeAdapter> volume() { return fake<FakeVolumeAdapter>(); }
    std::shared_ptr<FakeMediaAdapter> media() { return fake<FakeMediaAdapter>(); }
    std::shared_ptr<FakeLinks> links() { return fake<FakeLinks>(); }
    std::shared_ptr<FakeClipboard> clipboard() { return fake<FakeClipboard>(); }

    fs::path screenshots() const { return data.path() / "screenshots"; }
    fs::path historyFile() const { return data.path() / "clipboard-history.json"; }

};

TEST_F(CommandRouteTest, SetVolumeClampsAndAnswersWithBothOutputs) {
    begin();
    HTTPReply reply = command({{"type", "set_volume"}, {"level", 1.7}});
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.headers["content-type"], "application/json; charset=utf-8");
    EXPECT_EQ(reply.headers.count("cache-control"), 0u) << "the command answer, like the layout's, may be cached";
    // Sorted keys: the data first, then "ok".
    EXPECT_EQ(reply.body.rfind("{\"data\":{", 0), 0u) << reply.body;
    EXPECT_EQ(reply.body.substr(reply.body.size() - 11), ",\"ok\":true}");
    Json data = body(reply)["data"];
    EXPECT_EQ(data["volume"], 1);
    EXPECT_EQ(data["muted"], false);
    ASSERT_EQ(data["outputs"].size(), 2u);
    EXPECT_EQ(data["outputs"][0]["id"], "speakers");
    EXPECT_EQ(data["outputs"][0]["volume"], 1);
    EXPECT_EQ(data["outputs"][1]["id"], "headphones");
    settled();
    EXPECT_EQ(volume()->volume(), 1.0);
}

TEST_F(CommandRouteTest, NameOutsideTheAllowlistIsRefusedWithTheTypeAsSent) {
    begin();
    expectError(command({{"type", "Set_Volume"}, {"level", 0.5}}), 400, "invalid_action",
                "Action type \u201CSet_Volume\u201D is not allowed.");
    settled();
    EXPECT_EQ(volume()->volume(), 0.72);
}

TEST_F(CommandRouteTest, BodiesThatAreNotCommandObjectsAreMalformed) {
    begin();
    for (const char* text : {"not json", "[1,2]", "{\"type\":\"\"}", "{\"type\":3}", ""}) {
        SCOPED_TRACE(text);
        expectError(authed("POST", "/api/command", text), 400, "malformed_payload",
                    "The request body is not a valid command.");
    }
}

TEST_F(CommandRouteTest, NeedsASession) {
    begin();
    HTTPReply reply = request("POST", "/api/command", R"({"type":"lock_mac"})");
    EXPECT_EQ(reply.status, 401);
    settled();
    EXPECT_FALSE(fake<FakeLock>()->locked);
}

TEST_F(CommandRouteTest, SwitchedOffFeaturesRefuseAndTouchNothing) {
    begin();
    changeSettings([](DeckSettings& s) {
        s.clipboardEnabled = false;
        s.mediaEnabled = false;
        s.screenshotsEnabled = false;
    });
    struct Row {
        Json command;
        std::string message;
    };
    const Row rows[] = {
        {{{"type", "copy_text"}, {"text", "x"}}, "Clipboard is turned off in Veltrane Control Deck settings."},
        {{{"type", "set_clipboard"}, {"text", "x"}}, "Clipboard is turned off in Veltrane Control Deck settings."},
        {{{"type", "media_play_pause"}}, "Media is turned off in Veltrane Control Deck settings."},
        {{{"type", "media_next"}}, "Media is turned off in Veltrane Control Deck settings."},
        {{{"type", "media_previous"}}, "Media is turned off in Veltrane Control Deck settings."},
        {{{"type", "media_seek"}, {"position", 3}}, "Media is turned off in Veltrane Control Deck settings."},
        {{{"type", "media_like"}}, "Media is turned off in Veltrane Control Deck settings."},
        {{{"type", "take_screenshot"}}, "Screenshots is turned off in Veltrane Control Deck settings."},
    };
    const FakeMediaAdapter::Fields before = media()->fields.wrappedValue();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command.dump());
        expectError(command(row.command), 409, "feature_disabled", row.message);
    }
    settled();
    const FakeMediaAdapter::Fields after = media()->fields.wrappedValue();
    EXPECT_EQ(after.elapsed, before.elapsed);
    EXPECT_EQ(after.liked, before.liked);
    EXPECT_EQ(after.isPlaying, before.isPlaying);
    EXPECT_EQ(clipboard()->text, "");
    EXPECT_TRUE(fake<FakeScreenshot>()->shots.empty());
}

TEST_F(CommandRouteTest, ScreenshotsKeepTheThreeNewest) {
    begin();
    std::vector<std::string> ids;
    for (int i = 0; i < 4; ++i) {
        HTTPReply reply = command({{"type", "take_screenshot"}});
        ASSERT_EQ(reply.status, 200) << reply.body;
        const std::string id = body(reply)["data"]["id"];
        EXPECT_EQ(id.size(), 36u);
        EXPECT_NE(reply.body.find("\"url\":\"\\/api\\/screenshots\\/" + id + "\""), std::string::npos) << reply.body;
        ids.push_back(id);
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(screenshots())) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 3u);
    for (const auto& file : files) {
        EXPECT_EQ(fs::file_size(file), 8u);
        EXPECT_NE(file.filename(), ids[0] + ".png");
    }
    EXPECT_EQ(body(authed("GET", "/api/state"))["data"]["lastScreenshotId"], ids[3]);
    EXPECT_EQ(fake<FakeScreenshot>()->shots,
              (std::vector<std::string>{"full", "full", "full", "full"}));
}

// A clipboard whose writes fail, once told to, the way host adapters report it.
class BrokenClipboard : public FakeClipboard {
public:
    enum Failure { none, plainError, deckError };
    void writeString(const std::string& text) override {
        switch (failure.load()) {
            case none: return FakeClipboard::writeString(text);
            case plainError: throw std::runtime_error("pasteboard refused");
            case deckError: throw DeckError::invalidState("The clipboard is not available on this computer.");
        }
    }
    std::atomic<Failure> failure{none};
};

TEST_F(CommandRouteTest, FailedClipboardWriteAnswersAnErrorAndRecordsNothing) {
    auto broken = std::make_shared<BrokenClipboard>();
    adapters.clipboard = broken;
    begin();
    changeSettings([](DeckSettings& s) {
        s.clipboardEnabled = true;
        s.clipboardHistoryEnabled = true;
    });
    ASSERT_EQ(command({{"type", "copy_text"}, {"text", "kept"}}).status, 200);
    auto historyText = [&] {
        std::ifstream in(historyFile());
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string historyBefore = historyText();
    ASSERT_NE(historyBefore.find("kept"), std::string::npos);

    struct Row {
        BrokenClipboard::Failure failure;
        std::string message;
    };
    const Row rows[] = {
        {BrokenClipboard::plainError, "The clipboard could not be written."},
        {BrokenClipboard::deckError, "The clipboard is not available on this computer."},
    };
    for (const auto& row : rows) {
        broken->failure = row.failure;
        for (const char* type : {"copy_text", "set_clipboard"})
            expectError(command({{"type", type}, {"text", "lost"}}), 422, "invalid_state", row.message);
        EXPECT_EQ(historyText(), historyBefore);
        Json history = body(authed("GET", "/api/state"))["data"]["clipboard"]["history"];
        ASSERT_EQ(history.size(), 1u);
        EXPECT_EQ(history[0]["text"], "kept");
    }
}

TEST_F(CommandRouteTest, ClipboardHistoryFollowsItsSettings) {
    begin();
    changeSettings([](DeckSettings& s) {
        s.clipboardEnabled = true;
        s.clipboardHistoryEnabled = false;
    });
    ASSERT_EQ(command({{"type", "copy_text"}, {"text", "one"}}).status, 200);
    settled();
    EXPECT_EQ(clipboard()->text, "one");
    EXPECT_FALSE(fs::exists(historyFile()));

    changeSettings([](DeckSettings& s) {
        s.clipboardHistoryEnabled = true;
        s.clipboardHistoryMax = 0;  // still keeps one
    });
    for (const char* text : {"two", "two", "three"})
        ASSERT_EQ(command({{"type", "set_clipboard"}, {"text", text}}).status, 200);
    Json history = body(authed("GET", "/api/state"))["data"]["clipboard"]["history"];
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["text"], "three");

    changeSettings([](DeckSettings& s) {
        s.clipboardEnabled = false;
        s.clipboardHistoryEnabled = false;
    });
    HTTPReply cleared = command({{"type", "clear_clipboard_history"}});
    ASSERT_EQ(cleared.status, 200);
    EXPECT_EQ(body(cleared)["data"], (Json{{"cleared", true}}));
    std::ifstream in(historyFile());
    EXPECT_EQ(JSON::parse(std::string(std::istreambuf_iterator<char>(in), {})), Json::array());
}

// Outputs without a current one, recording the levels it is given.
class NoCurrentOutput : public FakeVolumeAdapter {
public:
    std::vector<AudioOutput> outputs() override { return {{"a", "A", 0.1, false, false}}; }
    void setVolume(double level, const std::optional<std::string>& deviceId) override {
        calls.emplace_back(level, deviceId);
        FakeVolumeAdapter::setVolume(level, deviceId);
    }
    std::vector<std::pair<double, std::optional<std::string>>> calls;
};

TEST_F(CommandRouteTest, VolumeStepOnTheCurrentOutputStopsAtFull) {
    begin();
    ASSERT_EQ(command({{"type", "set_volume"}, {"level", 0.98}}).status, 200);
    HTTPReply up = command({{"type", "volume_up"}});
    ASSERT_EQ(up.status, 200) << up.body;
    EXPECT_EQ(body(up)["data"]["volume"], 1);
    EXPECT_EQ(body(up)["data"]["outputs"][0]["volume"], 1);
}

TEST_F(CommandRouteTest, VolumeStepWithoutACurrentOutputMovesTheOverallVolume) {
    auto stepped = std::make_shared<NoCurrentOutput>();
    stepped->assignVolume(0.5);
    adapters.volume = stepped;
    begin();
    ASSERT_EQ(command({{"type", "volume_down"}}).status, 200);
    settled();
    ASSERT_EQ(stepped->calls.size(), 1u);
    EXPECT_DOUBLE_EQ(stepped->calls[0].first, 0.45);
    EXPECT_EQ(stepped->calls[0].second, std::nullopt);
}

// Every argument rule, carried through to what the adapters were asked.
TEST_F(CommandRouteTest, ArgumentRulesReachTheAdapters) {
    begin();
    changeSettings([](DeckSettings& s) { s.clipboardEnabled = true; });
    struct Row {
        Json command;
        int status;
        std::function<void(const Json& data)> check;  // on success
    };
    auto lastURL = [&] { return links()->urls.empty() ? std::string() : links()->urls.back(); };
    auto lastPath = [&] { return links()->paths.empty() ? std::string() : links()->paths.back(); };
    auto shortcuts = fake<FakeShortcuts>();
    const std::string long199(199, 'n'), long200(200, 'n');
    const Row rows[] = {
        {{{"type", "set_volume"}, {"level", -3}}, 200, [&](const Json& d) { EXPECT_EQ(d["volume"], 0); }},
        {{{"type", "set_volume"}, {"level", "0.25"}}, 200, [&](const Json& d) { EXPECT_EQ(d["volume"], 0.25); }},
        {{{"type", "set_volume"}, {"level", 0.4}, {"deviceId", "headphones"}}, 200,
         [&](const Json& d) { EXPECT_EQ(d["outputs"][1]["current"], true); }},
        {{{"type", "set_volume"}}, 400, nullptr},
        {{{"type", "set_brightness"}, {"displayId", "external"}, {"level", 9}}, 200,
         [&](const Json& d) {
             EXPECT_EQ(d["brightness"], 1);
             EXPECT_EQ(d["displayId"], "external");
             EXPECT_EQ(d["displays"].size(), 2u);
         }},
        {{{"type", "media_seek"}, {"position", -4}}, 200, [&](const Json& d) { EXPECT_EQ(d["elapsed"], 0); }},
        {{{"type", "media_seek"}, {"position", "inf"}}, 400, nullptr},
        {{{"type", "media_like"}}, 200, [&](const Json& d) { EXPECT_EQ(d["liked"], true); }},
        {{{"type", "media_like"}, {"liked", false}}, 200, [&](const Json& d) { EXPECT_EQ(d["liked"], false); }},
        {{{"type", "open_url"}, {"url", "HTTPS://Example.com/a"}}, 200,
         [&](const Json&) { EXPECT_EQ(lastURL(), "HTTPS://Example.com/a"); }},
        {{{"type", "open_url"}, {"url", "ftp://example.com"}}, 400, nullptr},
        {{{"type", "open_url"}, {"url", "example.com"}}, 400, nullptr},
        {{{"type", "open_file"}, {"path", "/tmp/a..b/./c"}}, 200,
         [&](const Json& d) {
             EXPECT_EQ(d["path"], "/tmp/a..b/./c");
             EXPECT_EQ(lastPath(), "/tmp/a..b/./c");
         }},
        {{{"type", "open_folder"}, {"path", "//tmp//"}}, 200, [&](const Json&) { EXPECT_EQ(lastPath(), "//tmp//"); }},
        {{{"type", "open_folder"}, {"path", "/tmp/../etc"}}, 400, nullptr},
        {{{"type", "open_file"}, {"path", "tmp/a"}}, 400, nullptr},
        {{{"type", "open_file"}, {"path", "/a/file://b"}}, 400, nullptr},
        {{{"type", "open_file"}, {"path", std::string("/a\0b", 4)}}, 400, nullptr},
        {{{"type", "run_shortcut"}, {"name", " Morning "}}, 200,
         [&](const Json&) { EXPECT_EQ(shortcuts->ran.back(), " Morning "); }},
        {{{"type", "run_shortcut"}, {"name", long199}}, 200, nullptr},
        {{{"type", "run_shortcut"}, {"name", long200}}, 400, nullptr},
        {{{"type", "run_shortcut"}, {"name", "a;b"}}, 400, nullptr},
        {{{"type", "run_shortcut"}, {"name", "a`b"}}, 400, nullptr},
        {{{"type", "run_shortcut"}, {"name", "a\nb"}}, 400, nullptr},
        {{{"type", "start_timer"}, {"seconds", "90"}, {"label", "Tea"}}, 200,
         [&](const Json& d) {
             EXPECT_EQ(d["remaining"], 90);
             EXPECT_EQ(d["id"].get<std::string>().size(), 36u);
         }},
        {{{"type", "start_timer"}, {"seconds", 1}}, 200, nullptr},
        {{{"type", "start_timer"}, {"seconds", 86400}}, 200, nullptr},
        {{{"type", "start_timer"}, {"seconds", 0}}, 400, nullptr},
        {{{"type", "start_timer"}, {"seconds", 86401}}, 400, nullptr},
        {{{"type", "pause_timer"}, {"id", "nope"}}, 200, [&](const Json& d) { EXPECT_EQ(d["id"], "nope"); }},
        {{{"type", "cancel_timer"}, {"id", "nope"}}, 200, [&](const Json& d) { EXPECT_EQ(d["id"], "nope"); }},
        {{{"type", "take_screenshot"}, {"mode", "window"}}, 200, nullptr},
        {{{"type", "take_screenshot"}, {"mode", "Window"}}, 400, nullptr},
        {{{"type", "copy_text"}, {"text", ""}}, 200, [&](const Json& d) { EXPECT_EQ(d["copied"], true); }},
        {{{"type", "set_output_device"}, {"deviceId", "nowhere"}}, 404, nullptr},
        {{{"type", "set_mute"}, {"muted", 1}}, 200, [&](const Json& d) { EXPECT_EQ(d["muted"], true); }},
        {{{"type", "toggle_mute"}}, 200, [&](const Json& d) { EXPECT_EQ(d["muted"], false); }},
        {{{"type", "lock_mac"}}, 200, [&](const Json& d) { EXPECT_EQ(d["locked"], true); }},
        {{{"type", "refresh_apps"}}, 200,
         [&](const Json& d) { EXPECT_EQ(d["apps"].size(), FakeAppLauncher::sampleApps().size()); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command.dump());
        HTTPReply reply = command(row.command);
        ASSERT_EQ(reply.status, row.status) << reply.body;
        settled();
        if (row.status == 200 && row.check) row.check(body(reply)["data"]);
    }
}

}  // namespace
}  // namespace veltrane::deck::testing
