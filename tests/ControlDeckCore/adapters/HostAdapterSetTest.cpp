#include <gtest/gtest.h>

#include <functional>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/MacAppLauncher.h"
#include "ControlDeckCore/adapters/MacBrightnessAdapter.h"
#include "ControlDeckCore/adapters/MacClipboard.h"
#include "ControlDeckCore/adapters/MacLinks.h"
#include "ControlDeckCore/adapters/MacLock.h"
#include "ControlDeckCore/adapters/MacNotifier.h"
#include "ControlDeckCore/adapters/MacScreenshot.h"
#include "ControlDeckCore/adapters/MacShortcuts.h"
#include "ControlDeckCore/server/DeckError.h"

using namespace veltrane::deck;

namespace {

std::optional<DeckError> errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DeckError& error) {
        return error;
    }
    return std::nullopt;
}

}  // namespace

// Until a capability has its host adapter, the host set must show nothing
// rather than the Fake set's invented values.
TEST(HostAdapterSet, ReportsNothing) {
    auto set = AdapterSet::mac();
    EXPECT_TRUE(set.volume->outputs().empty());

    auto& media = *set.media;
    EXPECT_FALSE(media.available());
    EXPECT_FALSE(media.isPlaying());
    EXPECT_EQ(media.title(), std::nullopt);
    EXPECT_EQ(media.lyrics(), std::nullopt);
    EXPECT_EQ(media.liked(), std::nullopt);
    EXPECT_FALSE(media.elapsedKnown());
    media.playPause();
    media.seek(30);
    EXPECT_FALSE(media.isPlaying());
    EXPECT_EQ(media.elapsed(), 0);

    auto system = set.system->sample();
    EXPECT_EQ(system.battery, std::nullopt);
    EXPECT_EQ(set.network->sample(8741, true), (NetworkSample{"Offline", std::nullopt, false, false, true, 8741}));

    auto fake = AdapterSet::fake();
    EXPECT_NE(system, fake.system->sample());
    EXPECT_NE(media.title(), fake.media->title());
}

TEST(HostAdapterSet, RefusesActionsWithAClearError) {
    auto set = AdapterSet::mac();
    struct Row {
        const char* name;
        std::function<void()> action;
        DeckError expected;
    };
    const Row rows[] = {
        {"select output", [&] { set.volume->selectOutput("speakers"); }, DeckError::notFound()},
        {"device volume", [&] { set.volume->setVolume(0.5, std::optional<std::string>("x")); }, DeckError::notFound()},
        {"volume", [&] { set.volume->setVolume(0.5); },
         DeckError::invalidState("Volume control is not available on this computer.")},
        {"default volume", [&] { set.volume->setVolume(0.5, std::optional<std::string>("")); },
         DeckError::invalidState("Volume control is not available on this computer.")},
        {"mute", [&] { set.volume->setMuted(true); },
         DeckError::invalidState("Volume control is not available on this computer.")},
    };
    for (const auto& row : rows) {
        auto error = errorOf(row.action);
        ASSERT_TRUE(error) << row.name;
        EXPECT_EQ(*error, row.expected) << row.name << ": " << error->message();
    }
}

TEST(HostAdapterSet, KeepsTheCallbacksItIsGiven) {
    auto set = AdapterSet::mac();
    int calls = 0;
    set.volume->setOnChange([&] { ++calls; });
    set.media->setOnChange([&] { ++calls; });
    set.volume->onChange()();
    set.media->onChange()();
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(set.media->onLyricClock());
}

TEST(HostAdapterSet, HoldsTheDesktopAdapters) {
    auto set = AdapterSet::mac();
    EXPECT_NE(dynamic_cast<MacAppLauncher*>(set.apps.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacScreenshot*>(set.screenshot.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacLock*>(set.lock.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacClipboard*>(set.clipboard.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacShortcuts*>(set.shortcuts.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacLinks*>(set.links.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacNotifier*>(set.notifier.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacBrightnessAdapter*>(set.brightness.get()), nullptr);
    EXPECT_NE(AdapterSet::mac().clipboard, set.clipboard) << "every call builds new adapters";
}
