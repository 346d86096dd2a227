#include "ControlDeckCore/media/QQPlayerReading.h"

#include <gtest/gtest.h>

#include "platform/script/FakeScriptHost.h"
#include "tests/support/FakeAccessibilityTree.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::media::QQNowPlaying {
namespace {

using accessibility::ElementList;
using testing::fakeElement;
using testing::titledElement;

constexpr std::int32_t kPid = 42;

std::shared_ptr<testing::FakeElement> control(std::string description, std::optional<std::string> title = {}) {
    auto element = fakeElement(std::move(description));
    if (title) element->title = accessibility::AttributeValue{*title};
    return element;
}

struct Player {
    apps::FakeRunningApps apps{{{.bundleId = "org.example.other", .localizedName = {}, .pid = 7},
                                {.bundleId = std::string(kBundleId), .localizedName = {}, .pid = kPid}}};
    testing::FakeAccessibilityTree tree;
    script::FakeScriptHost scripts;
    double now = 1000;
    Reader reader{apps, tree, scripts, [this] { return now; }};
    // No play-queue file: enrich changes nothing.
    testing::TempDirectory home;
    testing::ScopedEnvironment environment;
    Player() { environment.set("HOME", home.path().string()); }

    void window(ElementList barControls, std::string barDescription = "播放控制栏") {
        tree.windows[kPid] = {fakeElement("window", {fakeElement(barDescription, std::move(barControls))})};
    }
};

TEST(QQPlayerReadingTest, TheBarGivesSongPlayStateAndFavourite) {
    struct Case {
        const char* name;
        ElementList controls;
        std::optional<std::string> title;
        std::optional<std::string> artist;
        bool playing;
        std::optional<bool> liked;
        bool read = true;
    };
    const Case cases[] = {
        {"playing, liked by title",
         {control("歌曲名：晴天 - 歌手名：周杰伦"), control("暂停"), control("", "取消喜欢")},
         "晴天",
         "周杰伦",
         true,
         true},
        {"paused, the title over the description",
         {control("喜欢", "取消喜欢"), control("歌曲名：晴天 - 歌手名：周杰伦"), control("播放")},
         "晴天",
         "周杰伦",
         false,
         true},
        {"the last favourite wins",
         {control("like"), control("Pause"), control("unlike")},
         std::nullopt,
         std::nullopt,
         true,
         true},
        {"a later song replaces the earlier",
         {control("歌曲名：A - 歌手名：B"), control("播放列表"), control("Play"), control("Song: C Artist: D")},
         "C",
         "D",
         false,
         std::nullopt},
        {"no play button", {control("歌曲名：晴天 - 歌手名：周杰伦"), control("取消喜欢")}, {}, {}, false, {}, false},
        {"nothing in the bar", {}, {}, {}, false, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Player player;
        player.window(c.controls);
        const auto reading = player.reader.snapshotFromAccessibility();
        ASSERT_EQ(reading.has_value(), c.read);
        if (!reading) continue;
        EXPECT_EQ(reading->title, c.title);
        EXPECT_EQ(reading->artist, c.artist);
        EXPECT_EQ(reading->isPlaying, c.playing);
        EXPECT_EQ(reading->liked, c.liked);
        EXPECT_EQ(reading->bundleId, "com.tencent.QQMusicMac");
        EXPECT_EQ(reading->capturedAt, 1000);
    }
}

TEST(QQPlayerReadingTest, FindsTheBarShallowByWordOrDeepWithinSixLevels) {
    Player player;
    player.window({control("暂停")}, "Main PLAYBACK area");
    EXPECT_TRUE(player.reader.snapshotFromAccessibility()) << "the word, any case, one level down";

    const auto nested = [](int levels) {
        auto element = fakeElement("播放控制栏", {control("暂停")});
        for (int i = 0; i < levels; ++i) element = fakeElement("group", {element});
        return element;
    };
    // The application is depth 0, its window 1: a bar at depth 6 is found,
    // one at 7 is not.
    player.tree.windows[kPid] = {fakeElement("window", {nested(4)})};
    EXPECT_TRUE(player.reader.snapshotFromAccessibility());
    player.tree.windows[kPid] = {fakeElement("window", {nested(5)})};
    EXPECT_FALSE(player.reader.snapshotFromAccessibility());
}

TEST(QQPlayerReadingTest, TheMenuGivesThePlayStateWithoutASong) {
    Player player;
    player.window({control("歌曲名：晴天 - 歌手名：周杰伦")});  // no play button: the bar is not trusted
    const auto menuBar = [](std::string menuTitle, std::string item) {
        return titledElement(
            "", {titledElement("文件", {titledElement("", {titledElement("暂停")})}),
                 titledElement(menuTitle, {titledElement("", {titledElement("随机模式"), titledElement(item)})})});
    };
    player.tree.menuBars[kPid] = menuBar("播放控制", "暂停");
    auto reading = player.reader.snapshotFromAccessibility();
    ASSERT_TRUE(reading);
    EXPECT_FALSE(reading->title);
    EXPECT_TRUE(reading->isPlaying);
    EXPECT_EQ(reading->playbackRate, 1.0);

    player.tree.menuBars[kPid] = menuBar("Controls", "Play");
    ASSERT_TRUE(player.reader.snapshotFromAccessibility());
    EXPECT_FALSE(player.reader.snapshotFromAccessibility()->isPlaying);

    player.tree.menuBars[kPid] = menuBar("Window", "Play");
    EXPECT_FALSE(player.reader.snapshotFromAccessibility()) << "only the playback menu counts";
}

TEST(QQPlayerReadingTest, TheScriptRunsAtMostOnceASecond) {
    EXPECT_EQ(kBarScript.size(), 805u);
    Player player;
    player.scripts.answers[std::string(kBarScript)] = {"歌曲名：晴天 - 歌手名：周杰伦\t暂停播放\n", ""};
    auto reading = player.reader.snapshotFromAppleScript();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->title, "晴天");
    EXPECT_TRUE(reading->isPlaying);
    EXPECT_FALSE(reading->liked);

    player.now += 0.5;
    EXPECT_FALSE(player.reader.snapshotFromAppleScript());
    EXPECT_EQ(player.scripts.ran.size(), 1u) << "nothing started within the second";
    player.now += 0.5;
    EXPECT_TRUE(player.reader.snapshotFromAppleScript());

    const std::pair<const char*, script::ScriptOutcome> failures[] = {
        {"a failed script", {std::nullopt, "error"}},
        {"no output", {"  \n", ""}},
        {"no play button", {"歌曲名：晴天 - 歌手名：周杰伦\t", ""}},
        {"a mode button", {"歌曲名：晴天 - 歌手名：周杰伦\t播放模式", ""}},
        // The output is trimmed before it is split: no song, no button.
        {"a button alone", {"\tPlay", ""}},
    };
    for (const auto& [name, outcome] : failures) {
        SCOPED_TRACE(name);
        player.now += 1;
        player.scripts.answers[std::string(kBarScript)] = outcome;
        EXPECT_FALSE(player.reader.snapshotFromAppleScript());
    }
    player.now += 1;
    player.scripts.answers[std::string(kBarScript)] = {"unknown\tPlay", ""};
    reading = player.reader.snapshotFromAppleScript();
    ASSERT_TRUE(reading);
    EXPECT_FALSE(reading->title);
    EXPECT_FALSE(reading->isPlaying);
}

TEST(QQPlayerReadingTest, SnapshotPrefersATitledWindowReading) {
    Player player;
    player.scripts.answers[std::string(kBarScript)] = {"歌曲名：Script - 歌手名：S\t暂停", ""};
    player.window({control("歌曲名：Window - 歌手名：W"), control("播放")});
    EXPECT_EQ(player.reader.snapshot()->title, "Window");
    EXPECT_TRUE(player.scripts.ran.empty());

    player.window({control("播放")});  // no title: the script is asked
    EXPECT_EQ(player.reader.snapshot()->title, "Script");
    player.now += 0.2;
    const auto untitled = player.reader.snapshot();  // the script waits: the window's reading stands
    ASSERT_TRUE(untitled);
    EXPECT_FALSE(untitled->title);
    EXPECT_FALSE(untitled->isPlaying);

    player.apps.set({{.bundleId = "org.example.other", .localizedName = {}, .pid = 7}});
    player.tree.requests = 0;
    EXPECT_FALSE(player.reader.snapshot());
    EXPECT_EQ(player.tree.requests, 0) << "nothing asked while the player is not running";
}

TEST(QQAccessibilityPermissionTest, PromptOnceThenSettingsOnceAfterEightSeconds) {
    using Action = AccessibilityPermission::Action;
    AccessibilityPermission permission;
    EXPECT_EQ(permission.step(true, 0), Action::none);
    EXPECT_FALSE(permission.didPromptQQAX);
    const std::pair<double, Action> steps[] = {
        {10, Action::prompt}, {11, Action::none}, {18, Action::none}, {18.5, Action::openSettings}, {60, Action::none},
    };
    for (const auto& [now, action] : steps) {
        SCOPED_TRACE(now);
        EXPECT_EQ(permission.step(false, now), action);
    }
    Player player;
    player.tree.isTrusted = false;
    EXPECT_FALSE(player.reader.trusted());
}

}  // namespace
}  // namespace veltrane::media::QQNowPlaying
