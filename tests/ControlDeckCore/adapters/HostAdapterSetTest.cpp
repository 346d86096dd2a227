#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/MacNetworkSampler.h"
#include "ControlDeckCore/adapters/MacSystemSampler.h"
#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
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
    EXPECT_TRUE(set.brightness->displays().empty());
    EXPECT_TRUE(set.apps->listApplications().empty());
    EXPECT_EQ(set.clipboard->readString(), std::nullopt);

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

    auto fake = AdapterSet::fake();
    EXPECT_NE(media.title(), fake.media->title());
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

TEST(HostAdapterSet, RefusesActionsWithAClearError) {
    auto set = AdapterSet::mac();
    struct Row {
        const char* name;
        std::function<void()> action;
        DeckError expected;
    };
    const Row rows[] = {
        {"brightness", [&] { set.brightness->setBrightness(0.5, "1"); }, DeckError::notFound()},
        {"open app", [&] { set.apps->open("Safari"); }, DeckError::notFound()},
        {"screenshot", [&] { set.screenshot->capture("screen"); },
         DeckError::invalidState("Taking screenshots is not available on this computer.")},
        {"lock", [&] { set.lock->lock(); },
         DeckError::invalidState("Locking the screen is not available on this computer.")},
        {"clipboard", [&] { set.clipboard->writeString("x"); },
         DeckError::invalidState("The clipboard is not available on this computer.")},
        {"shortcut", [&] { set.shortcuts->run("Tea"); },
         DeckError::invalidState("Shortcut \u201CTea\u201D could not be run.")},
        {"url", [&] { set.links->openURL("https://example.com"); },
         DeckError::invalidState("Opening links is not available on this computer.")},
        {"path", [&] { set.links->openPath("/"); },
         DeckError::invalidState("Opening files is not available on this computer.")},
    };
    for (const auto& row : rows) {
        auto error = errorOf(row.action);
        ASSERT_TRUE(error) << row.name;
        EXPECT_EQ(*error, row.expected) << row.name << ": " << error->message();
    }
    EXPECT_NO_THROW(set.notifier->timerFinished("T", "Tea"));
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
