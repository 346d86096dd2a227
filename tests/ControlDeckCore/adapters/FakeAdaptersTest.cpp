#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/FakeAppLauncher.h"
#include "ControlDeckCore/adapters/FakeBrightnessAdapter.h"
#include "ControlDeckCore/adapters/FakeClipboard.h"
#include "ControlDeckCore/adapters/FakeLinks.h"
#include "ControlDeckCore/adapters/FakeLock.h"
#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/adapters/FakeNetworkSampler.h"
#include "ControlDeckCore/adapters/FakeNotifier.h"
#include "ControlDeckCore/adapters/FakeScreenshot.h"
#include "ControlDeckCore/adapters/FakeShortcuts.h"
#include "ControlDeckCore/adapters/FakeSystemSampler.h"
#include "ControlDeckCore/adapters/FakeVolumeAdapter.h"
#include "ControlDeckCore/shared/DeckError.h"

using namespace veltrane::deck;
using veltrane::lyrics::LyricsLine;
using veltrane::lyrics::LyricsSnapshot;

namespace {

template <class Fake, class Protocol>
std::shared_ptr<Fake> as(const std::shared_ptr<Protocol>& slot) {
    auto fake = std::dynamic_pointer_cast<Fake>(slot);
    EXPECT_TRUE(fake);
    return fake;
}

bool isNotFound(const DeckError& error) { return error == DeckError::notFound(); }

#define EXPECT_NOT_FOUND(statement) \
    EXPECT_THROW(                   \
        try { statement; } catch (const DeckError& e) { \
            EXPECT_TRUE(isNotFound(e)) << e.code();     \
            throw;                                      \
        },                                              \
        DeckError)

struct VolumeFixture : ::testing::Test {
    FakeVolumeAdapter volume;
    int changes = 0;
    void SetUp() override { volume.setOnChange([this] { ++changes; }); }
};

}  // namespace

// What a dashboard relies on from a fresh Fake set, whatever the canned values.
TEST(FakeAdapterSet, StartsInAStateADashboardCanShow) {
    auto set = AdapterSet::fake();

    // One current output, and the overall volume is its volume.
    const std::vector<AudioOutput> outputs = set.volume->outputs();
    ASSERT_GE(outputs.size(), 2u) << "switching outputs needs a second one";
    const auto current = std::count_if(outputs.begin(), outputs.end(), [](const AudioOutput& o) { return o.current; });
    EXPECT_EQ(current, 1);
    for (const AudioOutput& output : outputs) {
        SCOPED_TRACE(output.id);
        EXPECT_FALSE(output.id.empty() || output.name.empty());
        EXPECT_TRUE(output.volume >= 0 && output.volume <= 1);
        if (output.current) {
            EXPECT_EQ(output.volume, set.volume->volume());
        }
    }
    EXPECT_FALSE(set.volume->isMuted());

    // One built-in display among at least two, each level in range.
    const std::vector<DisplayOutput> displays = set.brightness->displays();
    ASSERT_GE(displays.size(), 2u);
    EXPECT_EQ(std::count_if(displays.begin(), displays.end(), [](const DisplayOutput& d) { return d.builtin; }), 1);
    for (const DisplayOutput& display : displays) EXPECT_TRUE(display.brightness >= 0 && display.brightness <= 1);

    // A paused track with a coherent position and synced lyrics in time order.
    auto& media = *set.media;
    EXPECT_TRUE(media.available());
    EXPECT_TRUE(media.title() && media.artist() && media.album() && media.source());
    EXPECT_FALSE(media.isPlaying());
    EXPECT_TRUE(media.elapsedKnown());
    EXPECT_GT(media.duration(), 0.0);
    EXPECT_TRUE(media.elapsed() >= 0 && media.elapsed() <= media.duration());
    EXPECT_EQ(media.playbackRate(), 1.0);
    EXPECT_EQ(media.artworkPNG(), std::nullopt);
    const std::optional<LyricsSnapshot> lyrics = media.lyrics();
    ASSERT_TRUE(lyrics);
    EXPECT_TRUE(lyrics->synced);
    ASSERT_GE(lyrics->lines.size(), 2u);
    EXPECT_TRUE(std::is_sorted(lyrics->lines.begin(), lyrics->lines.end(),
                               [](const LyricsLine& a, const LyricsLine& b) { return a.time < b.time; }));
    EXPECT_EQ(media.karaokeLine(), std::nullopt);
    EXPECT_TRUE(media.likeSupported());
    EXPECT_EQ(media.liked(), false);
    EXPECT_FALSE(media.onChange());
    EXPECT_FALSE(media.onLyricClock());

    // Applications with distinct ids and no icons; fractions in range; an
    // empty clipboard and an unlocked screen.
    const std::vector<AppRecord> apps = set.apps->listApplications();
    ASSERT_FALSE(apps.empty());
    std::set<std::string> ids;
    for (const AppRecord& app : apps) {
        EXPECT_TRUE(ids.insert(app.bundleId).second) << app.bundleId;
        EXPECT_FALSE(app.name.empty() || app.path.empty());
        EXPECT_EQ(set.apps->iconPNG(app.bundleId), std::nullopt);
    }
    const SystemSample sample = set.system->sample();
    for (double fraction : {sample.cpu, sample.memory, sample.battery.value_or(0)})
        EXPECT_TRUE(fraction >= 0 && fraction <= 1) << fraction;
    EXPECT_GT(sample.uptime, 0.0);
    const NetworkSample network = set.network->sample(8741, true);
    ASSERT_TRUE(network.ip);
    EXPECT_EQ(set.network->ipv4Addresses(), std::vector<std::string>{*network.ip});
    EXPECT_EQ(set.clipboard->readString(), "");
    EXPECT_FALSE(as<FakeLock>(set.lock)->locked);
}

TEST(FakeAdapterSet, RecordersStartEmptyAndRecordCalls) {
    auto set = AdapterSet::fake();
    auto screenshot = as<FakeScreenshot>(set.screenshot);
    auto shortcuts = as<FakeShortcuts>(set.shortcuts);
    auto links = as<FakeLinks>(set.links);
    auto notifier = as<FakeNotifier>(set.notifier);
    auto apps = as<FakeAppLauncher>(set.apps);
    EXPECT_TRUE(screenshot->shots.empty() && shortcuts->ran.empty() && links->urls.empty() && links->paths.empty() &&
                notifier->finished.empty() && apps->opened.empty());

    EXPECT_EQ(set.screenshot->capture("window"), std::string("\x89\x50\x4E\x47\x0D\x0A\x1A\x0A", 8));
    set.screenshot->capture("screen");
    set.lock->lock();
    set.clipboard->writeString("copied");
    set.shortcuts->run("Morning");
    set.links->openURL("not a url");
    set.links->openPath("/nowhere");
    set.notifier->timerFinished("T1", "Tea");
    set.apps->open("Safari");
    set.apps->open("com.apple.Safari");

    EXPECT_THAT(screenshot->shots, ::testing::ElementsAre("window", "screen"));
    EXPECT_TRUE(as<FakeLock>(set.lock)->locked);
    EXPECT_EQ(set.clipboard->readString(), "copied");
    EXPECT_THAT(shortcuts->ran, ::testing::ElementsAre("Morning"));
    EXPECT_THAT(links->urls, ::testing::ElementsAre("not a url"));
    EXPECT_THAT(links->paths, ::testing::ElementsAre("/nowhere"));
    EXPECT_THAT(notifier->finished, ::testing::ElementsAre(std::pair<std::string, std::string>("T1", "Tea")));
    EXPECT_THAT(apps->opened, ::testing::ElementsAre("Safari", "com.apple.Safari"));
}

TEST(FakeAdapterSet, EachCallBuildsNewObjects) {
    auto first = AdapterSet::fake();
    auto second = AdapterSet::fake();
    EXPECT_NE(first.volume, second.volume);
    EXPECT_NE(first.media, second.media);
    EXPECT_NE(first.notifier, second.notifier);

    first.volume->setVolume(0.1);
    first.media->playPause();
    first.shortcuts->run("x");
    first.clipboard->writeString("y");
    EXPECT_EQ(second.volume->volume(), 0.72);
    EXPECT_FALSE(second.media->isPlaying());
    EXPECT_TRUE(as<FakeShortcuts>(second.shortcuts)->ran.empty());
    EXPECT_EQ(second.clipboard->readString(), "");
}

TEST(FakeAdapterSet, ReplacingOneSlotKeepsTheOthersAndCopiesShare) {
    auto set = AdapterSet::fake();
    auto copy = set;
    auto media = set.media;
    set.volume = std::make_shared<FakeVolumeAdapter>();
    EXPECT_NE(set.volume, copy.volume);
    EXPECT_EQ(set.media, media);
    EXPECT_EQ(set.media, copy.media);
    EXPECT_EQ(set.brightness, copy.brightness);
}

TEST(FakeAdapterSet, UnknownIdsThrowNotFoundAndChangeNothing) {
    auto set = AdapterSet::fake();
    int changes = 0;
    set.volume->setOnChange([&] { ++changes; });

    EXPECT_NOT_FOUND(set.volume->selectOutput("hdmi"));
    EXPECT_NOT_FOUND(set.volume->setVolume(0.2, std::optional<std::string>("hdmi")));
    EXPECT_NOT_FOUND(set.brightness->setBrightness(0.1, "missing"));
    EXPECT_NOT_FOUND(set.apps->open("safari"));
    EXPECT_NOT_FOUND(set.apps->open("Safari.app"));
    FakeBrightnessAdapter noDisplays;
    noDisplays.items.clear();
    EXPECT_NOT_FOUND(noDisplays.setBrightness(0.5, "built-in"));

    EXPECT_EQ(changes, 0);
    EXPECT_EQ(set.volume->volume(), 0.72);
    EXPECT_TRUE(set.volume->outputs()[0].current);
    EXPECT_EQ(set.brightness->displays(), FakeBrightnessAdapter{}.items);
    EXPECT_TRUE(as<FakeAppLauncher>(set.apps)->opened.empty());
}

TEST_F(VolumeFixture, SetVolumeClampsAndUnmutes) {
    struct Row {
        bool mutedBefore;
        double level;
        double stored;
        bool mutedAfter;
        int changes;
    };
    const Row rows[] = {
        {true, 0.5, 0.5, false, 2},  {true, 0.0, 0.0, true, 1},  {false, 0.0, 0.0, false, 1},
        {false, 0.4, 0.4, false, 2}, {false, 1.7, 1.0, false, 2}, {true, -3, 0.0, true, 1},
        {true, std::nan(""), 0.0, true, 1},
    };
    for (const auto& row : rows) {
        volume.setMuted(row.mutedBefore);
        changes = 0;
        volume.setVolume(row.level);
        EXPECT_EQ(volume.volume(), row.stored) << row.level;
        EXPECT_EQ(volume.isMuted(), row.mutedAfter) << row.level;
        EXPECT_EQ(changes, row.changes) << row.level;
    }
}

TEST_F(VolumeFixture, SetVolumeOnADeviceSelectsItFirst) {
    volume.setVolume(0.3, std::optional<std::string>("speakers"));
    EXPECT_EQ(changes, 2);
    volume.setVolume(0.3, std::optional<std::string>(""));
    EXPECT_EQ(changes, 4);

    changes = 0;
    volume.setVolume(0.3, std::optional<std::string>("headphones"));
    EXPECT_EQ(changes, 3);
    EXPECT_EQ(volume.outputs(), (std::vector<AudioOutput>{{"speakers", "Mac Speakers", 0.3, false, false},
                                                          {"headphones", "Headphones", 0.35, false, true}}));
    EXPECT_EQ(volume.outputId, "headphones");
}

TEST_F(VolumeFixture, AssignmentsAndMuteCallOnChangeOnce) {
    volume.assignVolume(1.5);  // a plain assignment is not clamped
    EXPECT_EQ(volume.volume(), 1.5);
    volume.setMuted(true);
    EXPECT_TRUE(volume.outputs()[0].muted);
    volume.selectOutput("speakers");
    EXPECT_EQ(changes, 3);
}

TEST(FakeVolumeAdapter, WorksWithoutOnChange) {
    FakeVolumeAdapter volume;
    volume.setVolume(0.2, std::optional<std::string>("headphones"));
    EXPECT_EQ(volume.volume(), 0.2);
}

TEST(FakeBrightnessAdapter, ClampsTheLevelOfTheNamedDisplay) {
    FakeBrightnessAdapter brightness;
    brightness.setBrightness(2.0, "external");
    brightness.setBrightness(-1, "built-in");
    EXPECT_EQ(brightness.displays()[0].brightness, 0.0);
    EXPECT_EQ(brightness.displays()[1].brightness, 1.0);
}

TEST(FakeMediaAdapter, OperationsChangeTheModelAndCallOnChange) {
    FakeMediaAdapter media;
    int changes = 0;
    media.setOnChange([&] { ++changes; });
    bool lyricClockCalled = false;
    media.setOnLyricClock([&](const veltrane::lyrics::LyricClockTick&) { lyricClockCalled = true; });

    media.playPause();
    EXPECT_TRUE(media.isPlaying());
    media.playPause();
    EXPECT_FALSE(media.isPlaying());
    media.nextTrack();
    media.previousTrack();
    media.refresh();
    EXPECT_EQ(media.title(), FakeMediaAdapter::Fields{}.title);
    EXPECT_EQ(changes, 4);

    media.setLiked(std::nullopt);
    EXPECT_EQ(media.liked(), true);
    media.setLiked(std::nullopt);
    EXPECT_EQ(media.liked(), false);
    media.setLiked(true);
    EXPECT_EQ(media.liked(), true);
    media.fields.modify([](auto& f) { f.liked = std::nullopt; });
    media.setLiked(std::nullopt);  // unknown counts as not liked
    EXPECT_EQ(media.liked(), true);
    EXPECT_EQ(changes, 8);
    EXPECT_FALSE(lyricClockCalled);
}

TEST(FakeMediaAdapter, SeekClampsToTheTrack) {
    struct Row {
        double duration;
        double position;
        double stored;
    };
    const Row rows[] = {{200, -5, 0}, {200, 500, 200}, {200, 33.5, 33.5}, {0, 500, 500}, {200, std::nan(""), 0}};
    for (const auto& row : rows) {
        FakeMediaAdapter media;
        media.fields.modify([&](auto& f) {
            f.duration = row.duration;
            f.elapsedKnown = false;
            f.elapsedCapturedAt = Date{};
        });
        int changes = 0;
        media.setOnChange([&] { ++changes; });
        auto before = std::chrono::system_clock::now();
        media.seek(row.position);
        EXPECT_EQ(media.elapsed(), row.stored) << row.position;
        EXPECT_TRUE(media.elapsedKnown());
        EXPECT_GE(media.elapsedCapturedAt(), before);
        EXPECT_EQ(changes, 1);
    }
}

TEST(FakeAppLauncher, TakesItsListAtConstruction) {
    FakeAppLauncher launcher({{"org.example.Edit", "Edit", "/opt/Edit.app"}});
    launcher.open("Edit");
    EXPECT_THAT(launcher.opened, ::testing::ElementsAre("Edit"));
    EXPECT_NOT_FOUND(launcher.open("Safari"));
}

TEST(FakeNetworkSampler, CarriesThePortAndListeningFlagBack) {
    FakeNetworkSampler network;
    network.ip = std::nullopt;
    EXPECT_EQ(network.sample(0, false), (NetworkSample{"Wi-Fi", std::nullopt, true, false, false, 0}));
    EXPECT_EQ(network.sample(65535, true).port, 65535);
}
