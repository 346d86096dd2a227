// The host media adapter's notification observers on fakes: players'
// desktop-wide notifications posted through a fake centre, and players'
// change announcements that refresh it.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "platform/notifications/FakeNotificationCenter.h"
#include "tests/support/Eventually.h"
#include "tests/support/LastCopy.h"

namespace veltrane::deck {
namespace {

using notifications::Notification;
using notifications::UserInfo;

class ObserverRig {
public:
    ObserverRig() {
        MacMediaAdapter::Environment environment;
        environment.fetch = [this, token = lastCopy_.token()](media::MediaRemoteNowPlaying::FetchDone) {
            std::lock_guard lock(mutex_);
            ++fetches_;
        };
        environment.bundleRunning = [](const std::string&) { return false; };
        environment.helperURL = [] { return std::optional<std::string>(); };
        environment.lyricsFetch = [](auto&&...) {};
        environment.observePlayers = [this](std::function<void()> changed) {
            std::lock_guard lock(mutex_);
            announce_ = std::move(changed);
        };
        environment.distributedCenter = center;
        adapter = MacMediaAdapter::create(true, std::move(environment));
    }
    ~ObserverRig() {
        // Nothing the fakes hold keeps the adapter alive.
        adapter.reset();
        // The adapter's last use of this rig is ordered before the rig goes.
        EXPECT_TRUE(lastCopy_.waitGone());
    }

    int fetches() const {
        std::lock_guard lock(mutex_);
        return fetches_;
    }
    std::function<void()> announce() const {
        std::lock_guard lock(mutex_);
        return announce_;
    }
    // Posted from the test's thread; settled once the adapter queue ran
    // what the post queued.
    void post(const Notification& notification) {
        center->post(notification);
        adapter->sync([] {});
    }

    std::shared_ptr<notifications::FakeNotificationCenter> center =
        std::make_shared<notifications::FakeNotificationCenter>();
    std::shared_ptr<MacMediaAdapter> adapter;

private:
    mutable std::mutex mutex_;
    testing::LastCopy lastCopy_;
    int fetches_ = 0;
    std::function<void()> announce_;
};

TEST(MacMediaAdapterObservers, ObservesTheFourPlayersThenEveryName) {
    ObserverRig rig;
    const std::vector<std::optional<std::string>> expected = {
        "com.apple.iTunes.playerInfo", "com.apple.Music.playerInfo", "com.spotify.client.PlaybackStateChanged",
        "com.tencent.QQMusicMac.playerInfo", std::nullopt};
    EXPECT_EQ(rig.center->observedNames(), expected);
    const auto announce = rig.announce();
    ASSERT_TRUE(announce);

    // They hold the adapter weakly: it goes, and they then do nothing.
    std::weak_ptr<MacMediaAdapter> weak = rig.adapter;
    rig.adapter.reset();
    EXPECT_TRUE(testing::eventually([&] { return weak.expired(); }));
    announce();
    rig.center->post({"com.apple.Music.playerInfo", UserInfo{{"Name", "Late"}}});
}

TEST(MacMediaAdapterObservers, NotificationsThatReachTheMerge) {
    struct Case {
        const char* name;
        Notification notification;
        std::optional<std::string> title;  // none: nothing shown
        const char* bundleId;
    };
    const Case cases[] = {
        {"a named player's, without the filter's keys",
         {"com.apple.Music.playerInfo", UserInfo{{"Name", "Song"}, {"Player State", "Playing"}}},
         "Song",
         "com.apple.Music"},
        {"spotify's",
         {"com.spotify.client.PlaybackStateChanged", UserInfo{{"Name", "Song"}}},
         "Song",
         "com.spotify.client"},
        {"another name with a track and a playback status",
         {"PlayerStatusUpdate", UserInfo{{"Name", "Song"}, {"PlaybackStatus", "Playing"}}},
         "Song",
         "com.apple.Music"},
        {"another name with a track only", {"PlayerStatusUpdate", UserInfo{{"Name", "Song"}}}, std::nullopt, nullptr},
        {"a named player's without information", {"com.apple.Music.playerInfo", std::nullopt}, std::nullopt, nullptr},
        {"a named player's with empty information", {"com.apple.Music.playerInfo", UserInfo{}}, std::nullopt, nullptr},
        {"a title that is only white space",
         {"com.apple.Music.playerInfo", UserInfo{{"Name", " \n"}}},
         std::nullopt,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ObserverRig rig;
        rig.post(c.notification);
        EXPECT_EQ(rig.adapter->title(), c.title);
        if (c.bundleId) {
            EXPECT_EQ(rig.adapter->bundleId(), c.bundleId);
        }
    }
}

TEST(MacMediaAdapterObservers, OnTheAdapterQueueANotificationMergesAtOnce) {
    ObserverRig rig;
    rig.adapter->sync([&] {
        rig.center->post({"com.apple.Music.playerInfo", UserInfo{{"Name", "Inline"}, {"Player State", "Playing"}}});
        EXPECT_EQ(rig.adapter->title(), "Inline");
        EXPECT_TRUE(rig.adapter->isPlaying());
    });
}

// While a refresh waits for the queue, more announcements add none; once
// it has started, the next announcement queues another.
TEST(MacMediaAdapterObservers, AnnouncementsQueueOneRefreshAtATime) {
    ObserverRig rig;
    const auto announce = rig.announce();
    ASSERT_TRUE(announce);
    rig.adapter->sync([] {});
    const int before = rig.fetches();

    std::promise<void> entered, release;
    std::thread blocker([&] {
        rig.adapter->sync([&] {
            entered.set_value();
            release.get_future().wait();
        });
    });
    entered.get_future().wait();
    std::thread other([&] {
        for (int i = 0; i < 20; ++i) announce();
    });
    for (int i = 0; i < 20; ++i) announce();
    other.join();
    release.set_value();
    blocker.join();
    rig.adapter->sync([] {});
    EXPECT_EQ(rig.fetches(), before + 1);

    announce();
    rig.adapter->sync([] {});
    EXPECT_EQ(rig.fetches(), before + 2);
}

}  // namespace
}  // namespace veltrane::deck
