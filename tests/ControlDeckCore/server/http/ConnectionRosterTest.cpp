#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "ControlDeckCore/server/http/ConnectionRoster.h"

using namespace veltrane::deck;
using namespace std::chrono_literals;
using Phase = ConnectionRoster::Phase;

namespace {
struct Recorder {
    std::vector<int> dropped;
    ConnectionRoster::Cancel cancel(int name) {
        return [this, name] { dropped.push_back(name); };
    }
};
void run(const std::vector<ConnectionRoster::Cancel>& cancels) {
    for (const auto& c : cancels) c();
}
const ConnectionRoster::Clock::time_point t0{};
}  // namespace

TEST(ConnectionRoster, AtCapacityDropsTheOldestWaitingOnItsPeer) {
    ConnectionRoster roster(3);
    Recorder r;
    auto a = roster.admit(r.cancel(1), t0);
    auto b = roster.admit(r.cancel(2), t0 + 1s);
    auto c = roster.admit(r.cancel(3), t0 + 2s);
    ASSERT_TRUE(a.id && b.id && c.id);
    roster.setPhase(*a.id, Phase::handling);  // busy: never dropped

    auto d = roster.admit(r.cancel(4), t0 + 3s);
    ASSERT_TRUE(d.id.has_value());
    run(d.evicted);
    EXPECT_EQ(r.dropped, std::vector<int>{2});

    roster.setPhase(*c.id, Phase::writing);  // not reading its answer: waiting on its peer too
    auto e = roster.admit(r.cancel(5), t0 + 4s);
    run(e.evicted);
    EXPECT_EQ(r.dropped, (std::vector<int>{2, 3}));
    EXPECT_EQ(roster.size(), 3u);
}

TEST(ConnectionRoster, RefusesWhenEveryConnectionIsBeingHandled) {
    ConnectionRoster roster(2);
    Recorder r;
    auto a = roster.admit(r.cancel(1), t0);
    auto b = roster.admit(r.cancel(2), t0);
    roster.setPhase(*a.id, Phase::handling);
    roster.setPhase(*b.id, Phase::handling);
    auto refused = roster.admit(r.cancel(3), t0);
    EXPECT_FALSE(refused.id.has_value());
    EXPECT_TRUE(refused.evicted.empty());
    roster.remove(*a.id);
    roster.remove(*a.id);  // twice is harmless
    EXPECT_TRUE(roster.admit(r.cancel(4), t0).id.has_value());
    EXPECT_TRUE(r.dropped.empty());
}

TEST(ConnectionRoster, DeadlineDropsOnlyThoseStillReading) {
    ConnectionRoster roster(10);
    Recorder r;
    auto reading = roster.admit(r.cancel(1), t0);
    auto handled = roster.admit(r.cancel(2), t0);
    auto writing = roster.admit(r.cancel(3), t0);
    auto young = roster.admit(r.cancel(4), t0 + 20s);
    roster.setPhase(*handled.id, Phase::handling);
    roster.setPhase(*writing.id, Phase::writing);

    run(roster.expire(t0 + 30s, 30s));
    EXPECT_TRUE(r.dropped.empty()) << "exactly at the deadline is still in time";
    run(roster.expire(t0 + 31s, 30s));
    EXPECT_EQ(r.dropped, std::vector<int>{1});
    EXPECT_EQ(roster.size(), 3u);
    run(roster.expire(t0 + 51s, 30s));
    EXPECT_EQ(r.dropped, (std::vector<int>{1, 4}));
    (void)reading;
    (void)young;
}

TEST(ConnectionRoster, AFileAnswerIsDroppedOnlyOnceItStopsMoving) {
    ConnectionRoster roster(10);
    Recorder r;
    auto file = roster.admit(r.cancel(1), t0);
    auto plain = roster.admit(r.cancel(2), t0);
    roster.setPhase(*plain.id, Phase::writing);  // an ordinary answer reports no progress
    roster.progressed(*file.id, t0 + 10s);
    // Long past its arrival, but it moved within the deadline each time.
    for (auto at : {t0 + 35s, t0 + 60s}) {
        run(roster.expire(at, 30s));
        roster.progressed(*file.id, at);
    }
    run(roster.expire(t0 + 90s, 30s));
    EXPECT_TRUE(r.dropped.empty()) << "exactly at the deadline is still in time";
    run(roster.expire(t0 + 91s, 30s));
    EXPECT_EQ(r.dropped, std::vector<int>{1});
    EXPECT_EQ(roster.size(), 1u);
    // Progress reported for a connection already gone changes nothing.
    roster.progressed(*file.id, t0 + 92s);
    EXPECT_EQ(roster.size(), 1u);
}

TEST(ConnectionRoster, RemoveAllHandsBackEveryCancel) {
    ConnectionRoster roster(4);
    Recorder r;
    roster.admit(r.cancel(1), t0);
    auto handled = roster.admit(r.cancel(2), t0);
    roster.setPhase(*handled.id, Phase::handling);
    run(roster.removeAll());
    EXPECT_EQ(r.dropped, (std::vector<int>{1, 2}));
    EXPECT_EQ(roster.size(), 0u);
}

// Each accepting thread files its connections apart; the oldest connection
// waiting on its peer is still the one dropped, whichever thread took it in.
TEST(ConnectionRoster, AtCapacityDropsTheOldestWaitingWhicheverThreadAdmittedIt) {
    ConnectionRoster roster(3);
    Recorder r;
    auto onItsOwnThread = [&](int name, bool handled) {
        std::thread([&, name, handled] {
            auto admitted = roster.admit(r.cancel(name), t0);
            ASSERT_TRUE(admitted.id);
            if (handled) roster.setPhase(*admitted.id, Phase::handling);
        }).join();
    };
    onItsOwnThread(1, true);
    onItsOwnThread(2, false);
    onItsOwnThread(3, false);
    auto fourth = roster.admit(r.cancel(4), t0 + 1s);
    ASSERT_TRUE(fourth.id);
    run(fourth.evicted);
    EXPECT_EQ(r.dropped, (std::vector<int>{2}));
    EXPECT_EQ(roster.size(), 3u);
    // Gone in the order they came, across threads.
    r.dropped.clear();
    run(roster.removeAll());
    EXPECT_EQ(r.dropped, (std::vector<int>{1, 3, 4}));
}

// Threads taking connections in and letting them go at once never hold more
// than the capacity between them, and leave nothing behind.
TEST(ConnectionRoster, ThreadsAdmittingAtOnceStayWithinTheCapacity) {
    constexpr std::size_t kCapacity = 8;
    ConnectionRoster roster(kCapacity);
    std::atomic<bool> done{false};
    std::atomic<std::size_t> largest{0};
    std::thread watcher([&] {
        while (!done) largest = std::max(largest.load(), roster.size());
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&roster, t] {
            std::vector<ConnectionRoster::Id> held;
            for (int i = 0; i < 2000; ++i) {
                auto admitted = roster.admit([] {}, t0);
                for (auto& cancel : admitted.evicted) cancel();
                if (admitted.id) {
                    if ((i + t) % 3 == 0) roster.setPhase(*admitted.id, Phase::handling);
                    held.push_back(*admitted.id);
                }
                if (held.size() > 3) {
                    roster.remove(held.front());
                    held.erase(held.begin());
                }
            }
            for (auto id : held) roster.remove(id);
        });
    for (auto& thread : threads) thread.join();
    done = true;
    watcher.join();
    EXPECT_LE(largest.load(), kCapacity);
    EXPECT_EQ(roster.size(), 0u);
    // Every slot came back: a full roster of new arrivals fits again.
    for (std::size_t i = 0; i < kCapacity; ++i) {
        auto admitted = roster.admit([] {}, t0);
        EXPECT_TRUE(admitted.id);
        EXPECT_TRUE(admitted.evicted.empty());
    }
}
