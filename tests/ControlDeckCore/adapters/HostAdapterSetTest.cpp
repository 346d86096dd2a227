#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/MacAppLauncher.h"
#include "ControlDeckCore/adapters/MacBrightnessAdapter.h"
#include "ControlDeckCore/adapters/MacClipboard.h"
#include "ControlDeckCore/adapters/MacLinks.h"
#include "ControlDeckCore/adapters/MacLock.h"
#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/adapters/MacNetworkSampler.h"
#include "ControlDeckCore/adapters/MacNotifier.h"
#include "ControlDeckCore/adapters/MacScreenshot.h"
#include "ControlDeckCore/adapters/MacShortcuts.h"
#include "ControlDeckCore/adapters/MacSystemSampler.h"
#include "ControlDeckCore/adapters/MacVolumeAdapter.h"

using namespace veltrane::deck;

// The host's media adapter shows nothing before a player reading, never the
// Fake set's invented track.
TEST(HostAdapterSet, MediaShowsNothingBeforeAReading) {
    auto set = AdapterSet::mac();
    ASSERT_NE(dynamic_cast<MacMediaAdapter*>(set.media.get()), nullptr);
    auto& media = *set.media;
    EXPECT_TRUE(media.available());
    EXPECT_FALSE(media.isPlaying());
    EXPECT_EQ(media.title(), std::nullopt);
    EXPECT_EQ(media.lyrics(), std::nullopt);
    EXPECT_EQ(media.liked(), std::nullopt);
    EXPECT_FALSE(media.elapsedKnown());
    EXPECT_EQ(media.elapsed(), 0);
    EXPECT_NE(media.title(), AdapterSet::fake().media->title());
}

// Volume, statistics and network are the host's own.
TEST(HostAdapterSet, SamplesTheHost) {
    auto set = AdapterSet::mac();
    EXPECT_NE(dynamic_cast<MacVolumeAdapter*>(set.volume.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacSystemSampler*>(set.system.get()), nullptr);
    EXPECT_NE(dynamic_cast<MacNetworkSampler*>(set.network.get()), nullptr);
    auto system = set.system->sample();
    EXPECT_GT(system.uptime, 0.0);
    EXPECT_GT(system.memory, 0.0);
    EXPECT_NE(system, AdapterSet::fake().system->sample());
    auto network = set.network->sample(8741, true);
    EXPECT_TRUE(network.serverListening);
    EXPECT_EQ(network.port, 8741);
    EXPECT_EQ(network.ip, MacNetworkSampler::primaryIPv4());
}

TEST(HostAdapterSet, KeepsTheCallbacksItIsGiven) {
    auto set = AdapterSet::mac();
    // The volume adapter may call back from its own queue at any time.
    auto volumeCalls = std::make_shared<std::atomic<int>>(0);
    int mediaCalls = 0;
    set.volume->setOnChange([volumeCalls] { ++*volumeCalls; });
    set.media->setOnChange([&] { ++mediaCalls; });
    set.media->onChange()();
    EXPECT_EQ(mediaCalls, 1);
    ASSERT_TRUE(set.volume->onChange());
    int before = *volumeCalls;
    set.volume->onChange()();
    EXPECT_GE(*volumeCalls - before, 1);
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
