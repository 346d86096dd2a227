#include "helpers/mirabeck/QQWindow.h"

#include <gtest/gtest.h>

#include "tests/support/FakeAccessibilityTree.h"

using namespace veltrane;
using namespace veltrane::mirabeck;
using veltrane::testing::FakeAccessibilityTree;
using veltrane::testing::fakeElement;

TEST(QQParseSong, FindsTitleAndArtistByTheLabelRows) {
    struct Case {
        const char* text;
        std::optional<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] = {
        {"歌曲名：晴天 - 歌手名：周杰伦", std::pair{"晴天", "周杰伦"}},
        {"歌曲名:晴天 - 歌手名:周杰伦", std::pair{"晴天", "周杰伦"}},
        {"  歌名：晴天—  歌手：  周杰伦 \n", std::pair{"晴天", "周杰伦"}},
        {"歌曲名：晴天", std::nullopt},
        {"歌名：晴天 歌手：", std::pair{"晴天", ""}},
        {"歌曲名：— 歌手名：某人", std::nullopt},  // row 1 trims to empty; rows 2 and 3 do not match
        {"歌曲名：– - — 歌手名：X 歌名：真 歌手：Y", std::pair{"真", "Y"}},
        {"歌手名：A 歌曲名：T", std::nullopt},  // the artist label must follow the title label
        {"Play", std::nullopt},
        {"", std::nullopt},
        {"歌曲名：A-B - 歌手名：C", std::pair{"A-B", "C"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto song = qqParseSong(c.text);
        ASSERT_EQ(song.has_value(), c.expected.has_value());
        if (!song) continue;
        EXPECT_EQ(song->title, c.expected->first);
        EXPECT_EQ(song->artist, c.expected->second);
    }
}

namespace {

constexpr std::int32_t kPid = 321;

struct Rig {
    FakeAccessibilityTree tree;
    double now = 100;
    QQWindowReader reader{tree, [this] { return now; }};

    // One window whose children are `before`, then the bar with `controls`.
    void window(std::vector<std::string> controls, std::vector<std::string> before = {}, bool withBar = true) {
        accessibility::ElementList bar;
        for (const auto& d : controls) bar.push_back(fakeElement(d));
        accessibility::ElementList children;
        for (const auto& d : before) children.push_back(fakeElement(d));
        if (withBar) children.push_back(fakeElement("播放控制栏", bar));
        tree.running[std::string(kQQMusicBundleId)] = {kPid};
        tree.windows[kPid] = {fakeElement(std::nullopt, children)};
    }
};

}  // namespace

TEST(QQWindowReader, ReadsTheControlBar) {
    struct Case {
        const char* name;
        std::vector<std::string> controls;
        std::vector<std::string> before;
        std::optional<QQReading> expected;
    };
    const Case cases[] = {
        {"pause control: playing",
         {"上一首", "暂停", "下一首", "歌曲名：T - 歌手名：A"},
         {},
         QQReading{"T", "A", true, true}},
        {"play control: paused", {"上一首", "播放", "下一首"}, {}, QQReading{std::nullopt, std::nullopt, false, true}},
        {"only English pause: nothing", {"Pause"}, {}, std::nullopt},
        {"English play counts", {" Play "}, {}, QQReading{std::nullopt, std::nullopt, false, true}},
        {"a play-mode control is skipped", {"播放模式", "暂停"}, {}, QQReading{std::nullopt, std::nullopt, true, true}},
        {"only a play-mode control: nothing", {"播放模式"}, {}, std::nullopt},
        {"the last play or pause control decides",
         {"暂停", "播放"},
         {},
         QQReading{std::nullopt, std::nullopt, false, true}},
        {"the window's song when the bar has none",
         {"暂停"},
         {"歌曲名：W - 歌手名：V", "歌曲名：X - 歌手名：Y"},
         QQReading{"W", "V", true, true}},
        {"the bar's song before the window's",
         {"暂停", "歌曲名：B - 歌手名：C"},
         {"歌曲名：W - 歌手名：V"},
         QQReading{"B", "C", true, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.window(c.controls, c.before);
        const auto reading = rig.reader.qqAXSnapshot();
        ASSERT_EQ(reading.has_value(), c.expected.has_value());
        if (!reading) continue;
        EXPECT_EQ(reading->title, c.expected->title);
        EXPECT_EQ(reading->artist, c.expected->artist);
        EXPECT_EQ(reading->playing, c.expected->playing);
        EXPECT_TRUE(reading->sawPlay);
    }
}

TEST(QQWindowReader, ReusesFreshReadingsAndStandsInBriefly) {
    Rig rig;
    rig.window({"暂停", "歌曲名：T - 歌手名：A"});
    ASSERT_TRUE(rig.reader.qqAXSnapshot());
    const int requests = rig.tree.requests;
    rig.now += 0.1;
    ASSERT_TRUE(rig.reader.qqAXSnapshot());
    EXPECT_EQ(rig.tree.requests, requests) << "a reading 0.1 s old is reused";

    // The bar disappears: the last reading stands in while it is recent.
    rig.window({}, {"其他"}, false);
    rig.now += 0.2;
    auto standIn = rig.reader.qqAXSnapshot();
    ASSERT_TRUE(standIn);
    EXPECT_EQ(standIn->title, "T");
    rig.now += 3.0;
    EXPECT_FALSE(rig.reader.qqAXSnapshot()) << "a reading seconds old no longer stands in";

    // Not running: absent and forgotten; running again reads afresh.
    rig.tree.running.clear();
    rig.now += 0.01;
    EXPECT_FALSE(rig.reader.qqAXSnapshot());
    rig.window({"播放", "歌曲名：U - 歌手名：B"});
    rig.now += 0.01;
    auto fresh = rig.reader.qqAXSnapshot();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->title, "U");
    EXPECT_FALSE(fresh->playing);
}

TEST(QQWindowReader, AttributesOfAnotherTypeReadAsMissing) {
    FakeAccessibilityTree tree;
    auto element = fakeElement(std::nullopt, {fakeElement("x")});
    element->description = accessibility::AttributeValue{accessibility::ElementList{}};
    EXPECT_EQ(axStr(tree, element, "AXDescription"), std::nullopt);
    EXPECT_EQ(axKids(tree, element, "AXChildren").size(), 1u);
    EXPECT_TRUE(axKids(tree, fakeElement("leaf"), "AXDescription").empty());
    EXPECT_TRUE(axKids(tree, nullptr, "AXChildren").empty());
}
