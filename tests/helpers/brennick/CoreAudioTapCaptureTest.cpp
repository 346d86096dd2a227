#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "helpers/brennick/CoreAudioTapCapture.h"
#include "tests/support/Eventually.h"
#include "tests/support/TempDirectory.h"

namespace audio = veltrane::audio;
namespace brennick = veltrane::brennick;
namespace x11 = veltrane::x11;
using veltrane::testing::TempDirectory;
using veltrane::testing::eventually;
using brennick::CoreAudioTapCapture;

namespace {

class FakeWindows final : public brennick::DisplayWindows {
public:
    std::optional<x11::Rect> bounds(std::uint32_t id) override {
        std::lock_guard lock(mutex);
        if (auto it = outputs.find(id); it != outputs.end()) return it->second;
        return std::nullopt;
    }
    std::optional<std::vector<x11::TopLevelWindow>> windows() override {
        std::lock_guard lock(mutex);
        return list;
    }
    void add(pid_t pid, std::string cls, x11::Rect frame, int layer = 0) {
        std::lock_guard lock(mutex);
        list.push_back({list.size() + 1, frame, layer, pid, std::move(cls)});
    }
    std::mutex mutex;
    std::map<std::uint32_t, x11::Rect> outputs{{10, {0, 0, 1920, 1080}}, {20, {1920, 0, 800, 600}}};
    std::vector<x11::TopLevelWindow> list;
};

class FakeTap final : public audio::ProcessTap {
public:
    std::vector<audio::AudioProcessObject> processObjects() override {
        std::lock_guard lock(mutex);
        return objects;
    }
    void undoAbandonedTaps() override {}
    void create(const audio::TapDescription& d) override {
        std::lock_guard lock(mutex);
        descriptions.push_back(d);
        made = true;
    }
    void update(const audio::TapDescription& d) override {
        std::lock_guard lock(mutex);
        if (failUpdates) throw audio::TapFailure("pa_context_move_sink_input_by_index returned -5");
        descriptions.push_back(d);
    }
    void startReading(std::function<void(audio::FloatBufferList)>) override {}
    void stopReading() override {}
    void destroy() override {
        std::lock_guard lock(mutex);
        made = false;
    }
    bool exists() const override {
        std::lock_guard lock(mutex);
        return made;
    }
    std::vector<audio::TapDescription> seen() {
        std::lock_guard lock(mutex);
        return descriptions;
    }
    mutable std::mutex mutex;
    std::vector<audio::AudioProcessObject> objects;
    std::vector<audio::TapDescription> descriptions;
    bool made = false;
    bool failUpdates = false;
};

class TapSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 150 is a child of 100; 600's parent cannot be read.
        for (auto [pid, parent] : {std::pair{100, 1}, {150, 100}, {160, 150}, {200, 1}, {300, 1}, {400, 1}, {500, 1}, {600, 999}}) {
            std::filesystem::create_directories(proc.path() / std::to_string(pid));
            std::ofstream(proc.path() / std::to_string(pid) / "stat") << pid << " (p) S " << parent << " 1\n";
        }
        windows->add(100, "org.app", {2000, 100, 200, 150});                  // on display 20
        windows->add(100, "org.app", {2300, 100, 200, 150});                  // a second window of it
        windows->add(200, "org.main", {100, 100, 200, 150});                  // on display 10
        windows->add(300, brennick::kOwnApplicationID, {2000, 300, 200, 150});  // the mirroring app
        windows->add(400, "org.panel", {2000, 0, 800, 30}, 1);                // not layer 0
        windows->add(500, "org.wide", {1000, 100, 1800, 100});                // centre at 1900: display 10
        windows->add(0, "", {2000, 400, 10, 10});
        windows->list.back().ownerPID.reset();                                // no owner
        tap->objects = {{100, std::nullopt}, {150, std::string("org.child")}, {200, std::nullopt},
                        {300, std::nullopt}, {400, std::nullopt},            {600, std::nullopt}};
    }

    std::shared_ptr<CoreAudioTapCapture> session(std::uint32_t display = 20) {
        brennick::SessionEnvironment environment{windows, [this](const std::string& line) {
                                                     std::lock_guard lock(logMutex);
                                                     log.push_back(line);
                                                 },
                                                 -1, nullptr, std::chrono::milliseconds(20)};
        return CoreAudioTapCapture::create(brennick::Options{display}, tap, environment,
                                           brennick::ProcessAncestry(proc.path().string()));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(logMutex);
        return log;
    }

    TempDirectory proc;
    std::shared_ptr<FakeWindows> windows = std::make_shared<FakeWindows>();
    std::shared_ptr<FakeTap> tap = std::make_shared<FakeTap>();
    std::mutex logMutex;
    std::vector<std::string> log;
};

}  // namespace

TEST_F(TapSessionTest, TapsTheWindowOwnersOfTheDisplayAndTheirChildren) {
    auto targets = session()->audioTargetsOnOrrisfold();
    EXPECT_EQ(targets.processIDs, (std::vector<pid_t>{100, 150}));
    EXPECT_EQ(targets.bundleIDs, (std::vector<std::string>{"org.app", "org.child"}));
    auto main = session(10)->audioTargetsOnOrrisfold();
    EXPECT_EQ(main.processIDs, (std::vector<pid_t>{200}));
    EXPECT_EQ(main.bundleIDs, (std::vector<std::string>{"org.main", "org.wide"}));
}

TEST_F(TapSessionTest, AnUnknownDisplayFailsInsteadOfTappingNothing) {
    auto s = session(7);
    try {
        s->start();
        FAIL() << "started";
    } catch (const brennick::AudioCaptureError& error) {
        EXPECT_STREQ(error.what(), "Display 7 is not available for audio capture");
    }
    EXPECT_FALSE(tap->exists());
}

TEST_F(TapSessionTest, StartsMutedSwitchesOutputAndKeepsTheChoiceThroughRefreshes) {
    auto s = session();
    s->start();
    ASSERT_EQ(tap->seen().size(), 1u);
    EXPECT_EQ(tap->seen()[0].mute, audio::TapMute::mutedWhenTapped);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Core Audio app tap active for 2 processes; tablet-display apps are "
                                                 "muted locally while streamed"}));
    // Unchanged targets: several refreshes pass without a change to the tap.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(tap->seen().size(), 1u);

    s->setOutputOnMac(true);
    s->setOutputOnMac(false);
    s->setOutputOnMac(true);
    EXPECT_EQ(lines().back(), "Audio output switched to MacBook speakers");
    EXPECT_EQ(lines().size(), 4u);
    {
        std::lock_guard lock(tap->mutex);
        tap->objects.push_back({160, std::nullopt});
    }
    ASSERT_TRUE(eventually([&] { return tap->seen().size() == 5; }));
    auto last = tap->seen().back();
    EXPECT_EQ(last.processes, (std::vector<pid_t>{100, 150, 160}));
    EXPECT_EQ(last.mute, audio::TapMute::unmuted);

    s->stop();
    EXPECT_FALSE(tap->exists());
    s->setOutputOnMac(false);
    EXPECT_EQ(lines().size(), 4u);
    EXPECT_EQ(tap->seen().size(), 5u);
}

TEST_F(TapSessionTest, AFailedSwitchOrRefreshIsReportedAndRetried) {
    auto s = session();
    s->start();
    {
        std::lock_guard lock(tap->mutex);
        tap->failUpdates = true;
        tap->objects.push_back({160, std::nullopt});
    }
    s->setOutputOnMac(true);
    ASSERT_TRUE(eventually([&] { return lines().size() >= 3; }));
    auto got = lines();
    EXPECT_EQ(got[1], "Could not change audio output: pa_context_move_sink_input_by_index returned -5");
    EXPECT_EQ(got[2], "Could not refresh Core Audio app filter: pa_context_move_sink_input_by_index returned -5");
    {
        std::lock_guard lock(tap->mutex);
        tap->failUpdates = false;
    }
    ASSERT_TRUE(eventually([&] { return tap->seen().size() == 2; }));
    EXPECT_EQ(tap->seen().back().mute, audio::TapMute::unmuted);
    s->stop();
}
