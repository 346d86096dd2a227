#include <gtest/gtest.h>

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
