#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ControlDeckCore/runtime/TimerEngine.h"

using veltrane::deck::DeckTimer;
using veltrane::deck::Json;
using veltrane::deck::TimerEngine;

namespace {

// Time is only what the test passes in: an arbitrary origin plus seconds.
TimerEngine::Instant at(double seconds) {
    return TimerEngine::Instant{} + std::chrono::duration_cast<TimerEngine::Clock::duration>(
                                        std::chrono::duration<double>(1000.0 + seconds));
}

struct TimerFixture : ::testing::Test {
    TimerEngine engine{at(0)};
    std::vector<std::string> events;  // "change" and "finished:<label>" in call order
    std::vector<DeckTimer> finished;

    void SetUp() override {
        engine.onChange = [this] { events.push_back("change"); };
        engine.onFinished = [this](const DeckTimer& timer) {
            events.push_back("finished:" + timer.label);
            finished.push_back(timer);
        };
    }
    DeckTimer startQuietly(std::int64_t seconds, std::string label) {
        auto timer = engine.start(seconds, std::move(label));
        events.clear();
        return timer;
    }
};

}  // namespace

TEST_F(TimerFixture, StartAddsARunningTimer) {
    auto timer = engine.start(5, std::string());
    EXPECT_EQ(timer.label, "Timer");
    EXPECT_EQ(timer.remaining, 5);
    EXPECT_EQ(timer.duration, 5);
    EXPECT_TRUE(timer.running);
    EXPECT_EQ(timer.id.size(), 36u);
    EXPECT_EQ(engine.timers.at(timer.id), timer);
    EXPECT_EQ(engine.start(1, std::nullopt).label, "Timer");
    EXPECT_EQ(engine.start(1, std::string("  ")).label, "  ");
    EXPECT_NE(engine.start(1, std::nullopt).id, timer.id);
    EXPECT_EQ(events, std::vector<std::string>(4, "change"));
}

TEST_F(TimerFixture, ChargesWholeIntervalsAndFinishesOnce) {
    auto timer = startQuietly(5, "Tea");
    engine.tick(at(2.5));
    EXPECT_EQ(engine.timers.at(timer.id).remaining, 2.5);
    EXPECT_EQ(events, std::vector<std::string>{"change"});

    events.clear();
    engine.tick(at(5.0));
    EXPECT_EQ(events, (std::vector<std::string>{"change", "finished:Tea"}));
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0], (DeckTimer{timer.id, "Tea", 0, false, 5}));
    EXPECT_TRUE(engine.timers.empty());
    EXPECT_EQ(engine.publicList(), Json::array());

    events.clear();
    engine.tick(at(7.5));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(finished.size(), 1u);
}

TEST_F(TimerFixture, TimerStartedBetweenTicksIsChargedFromTheEarlierTick) {
    engine.tick(at(2.5));
    auto three = startQuietly(3, "three");  // right after the tick at 2.5
    engine.tick(at(5.0));
    EXPECT_TRUE(finished.empty());
    engine.tick(at(7.5));
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].id, three.id);

    // Started 2.4 s after the tick at 7.5, charged the whole 2.5 s interval.
    auto two = startQuietly(2, "two");
    engine.tick(at(10.0));
    ASSERT_EQ(finished.size(), 2u);
    EXPECT_EQ(finished[1].id, two.id);
}

TEST_F(TimerFixture, ShortTicksAndPausedTimersCallNothing) {
    auto timer = startQuietly(60, "run");
    engine.tick(at(0.2));
    engine.tick(at(0.4));
    EXPECT_TRUE(events.empty());
    EXPECT_NEAR(engine.timers.at(timer.id).remaining, 59.6, 1e-9);

    engine.pause(timer.id);
    events.clear();
    engine.tick(at(1000));
    EXPECT_TRUE(events.empty());
    EXPECT_NEAR(engine.timers.at(timer.id).remaining, 59.6, 1e-9);

    engine.resume(timer.id);
    engine.tick(at(1010));
    EXPECT_NEAR(engine.timers.at(timer.id).remaining, 49.6, 1e-9);
}

TEST_F(TimerFixture, PauseAndResumeAlwaysCallOnChange) {
    auto timer = startQuietly(10, "x");
    engine.pause("no-such-id");
    engine.resume("no-such-id");
    engine.pause(timer.id);
    engine.pause(timer.id);
    EXPECT_FALSE(engine.timers.at(timer.id).running);
    engine.resume(timer.id);
    EXPECT_TRUE(engine.timers.at(timer.id).running);
    EXPECT_EQ(engine.timers.at(timer.id).remaining, 10);
    EXPECT_EQ(events, std::vector<std::string>(5, "change"));
}

TEST_F(TimerFixture, TimersEndingTogetherGiveOneChangeThenEachFinish) {
    startQuietly(2, "a");
    startQuietly(1, "b");
    startQuietly(30, "c");
    engine.tick(at(2.5));
    EXPECT_EQ(events.front(), "change");
    EXPECT_THAT(events, ::testing::UnorderedElementsAre("change", "finished:a", "finished:b"));
    EXPECT_EQ(engine.timers.size(), 1u);
}

// The clock going back (or a stale time passed in) must never give a timer
// time back, nor charge the same span twice afterwards.
TEST_F(TimerFixture, TimeGoingBackNeverAddsTime) {
    auto timer = startQuietly(10, "x");
    engine.tick(at(4));
    engine.tick(at(1));
    EXPECT_EQ(engine.timers.at(timer.id).remaining, 6);
    engine.tick(at(5));
    EXPECT_EQ(engine.timers.at(timer.id).remaining, 5);
}

TEST_F(TimerFixture, PublicListSortsByCanonicalLabel) {
    const std::string composed = "\u00E9";     // é
    const std::string decomposed = "e\u0301";  // e + combining acute: the same text
    for (const char* label : {"b", "A", "a"}) startQuietly(1, label);
    startQuietly(1, decomposed);
    startQuietly(1, "f");
    startQuietly(1, composed);

    std::vector<std::string> labels;
    for (const auto& item : engine.publicList()) labels.push_back(item["label"]);
    ASSERT_EQ(labels.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(labels.begin(), labels.begin() + 4),
              (std::vector<std::string>{"A", "a", "b", "f"}));
    EXPECT_THAT(std::vector<std::string>(labels.begin() + 4, labels.end()),
                ::testing::UnorderedElementsAre(composed, decomposed));
}

TEST_F(TimerFixture, PublicListShowsFiveKeysAndNeverNegative) {
    auto timer = startQuietly(90, "Tea");
    engine.pause(timer.id);
    engine.timers.at(timer.id).remaining = -0.5;
    auto list = engine.publicList();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0], (Json{{"id", timer.id}, {"label", "Tea"}, {"remaining", 0.0}, {"running", false},
                             {"duration", 90.0}}));
}

TEST(TimerEngine, WorksWithoutCallbacks) {
    TimerEngine engine{at(0)};
    engine.start(1, std::nullopt);
    engine.tick(at(3));
    EXPECT_TRUE(engine.timers.empty());
}
