#include <gtest/gtest.h>

#include <atomic>

#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/process/Shell.h"
#include "platform/audio/PulseAudioSystem.h"
#include "tests/support/Eventually.h"
#include "tools/pulse/PrivatePulseServer.h"

using namespace veltrane::deck;
using veltrane::audio::PulseAudioSystem;
using veltrane::testing::EventCounter;
using veltrane::testing::eventually;
using veltrane::testing::PrivatePulseServer;

namespace {

MacVolumeAdapter::CommandRunner shellRunner(std::shared_ptr<std::atomic<int>> runs) {
    return [runs](const std::string& path, const std::vector<std::string>& arguments, double timeout) {
        ++*runs;
        veltrane::process::Shell::run(path, arguments, timeout);
    };
}

std::optional<AudioOutput> find(const std::vector<AudioOutput>& outputs, const std::string& id) {
    for (const auto& o : outputs)
        if (o.id == id) return o;
    return std::nullopt;
}

template <class Action>
std::optional<DeckError> errorOf(Action action) {
    try {
        action();
    } catch (const DeckError& error) {
        return error;
    }
    return std::nullopt;
}

// Against a private PulseAudio server with the null sinks "speakers"
// (default) and "headphones".
class MacVolumeAdapterPulseTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << "no private PulseAudio server: " << server.failure();
    }

    // `poll` slowed down shows what the server's change events alone bring.
    std::shared_ptr<MacVolumeAdapter> make(double poll = MacVolumeAdapter::kPollInterval) {
        auto adapter =
            MacVolumeAdapter::create(std::make_shared<PulseAudioSystem>(server.address()), shellRunner(scripts), poll);
        adapter->setOnChange([changes = changes] { changes->add(); });
        return adapter;
    }

    PrivatePulseServer server;
    std::shared_ptr<std::atomic<int>> scripts = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<EventCounter> changes = std::make_shared<EventCounter>();
};

TEST_F(MacVolumeAdapterPulseTest, ListsTheSinks) {
    auto adapter = make();
    auto outputs = adapter->outputs();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], (AudioOutput{"speakers", "Speakers", 1.0, false, true}));
    EXPECT_EQ(outputs[1], (AudioOutput{"headphones", "Headphones", 1.0, false, false}));
    EXPECT_EQ(adapter->volume(), 1.0);
    EXPECT_FALSE(adapter->isMuted());
}

TEST_F(MacVolumeAdapterPulseTest, SetVolumeMovesTheDefaultSink) {
    auto adapter = make();
    adapter->setVolume(0.404);
    std::string line = server.pactlLine({"get-sink-volume", "@DEFAULT_SINK@"});
    EXPECT_NE(line.find("/  40% /"), std::string::npos) << line;
    EXPECT_NEAR(adapter->volume(), 0.404, 1e-4);
    adapter->setMuted(true);
    EXPECT_EQ(server.pactlLine({"get-sink-mute", "@DEFAULT_SINK@"}), "Mute: yes");
    adapter->setVolume(0.25, std::optional<std::string>("headphones"));
    line = server.pactlLine({"get-sink-volume", "headphones"});
    EXPECT_NE(line.find("/  25% /"), std::string::npos) << line;
    EXPECT_NEAR(adapter->volume(), 0.404, 1e-4) << "headphones are not the default output";
    EXPECT_EQ(*scripts, 0) << "the server took every write itself";
    ASSERT_TRUE(eventually([&] { return find(adapter->outputs(), "headphones")->volume < 0.26; }));
}

TEST_F(MacVolumeAdapterPulseTest, ChangesMadeElsewhereReachOnChangeWithoutThePoll) {
    auto adapter = make(3600);
    int before = changes->count();
    ASSERT_EQ(server.pactl({"set-sink-mute", "speakers", "1"}).status, 0);
    ASSERT_TRUE(changes->waitFor(before + 1));
    EXPECT_TRUE(adapter->isMuted());
    EXPECT_TRUE(find(adapter->outputs(), "speakers")->muted);

    before = changes->count();
    ASSERT_EQ(server.pactl({"set-sink-volume", "speakers", "30%"}).status, 0);
    ASSERT_TRUE(changes->waitFor(before + 1));
    ASSERT_TRUE(eventually([&] { return std::abs(adapter->volume() - 0.30) < 1e-3; }));

    // A new default output moves the listeners with it.
    ASSERT_EQ(server.pactl({"set-default-sink", "headphones"}).status, 0);
    ASSERT_TRUE(eventually([&] { return find(adapter->outputs(), "headphones")->current; }));
    EXPECT_FALSE(adapter->isMuted());
    before = changes->count();
    ASSERT_EQ(server.pactl({"set-sink-volume", "headphones", "20%"}).status, 0);
    ASSERT_TRUE(changes->waitFor(before + 1));
    ASSERT_TRUE(eventually([&] { return std::abs(adapter->volume() - 0.20) < 1e-3; }));

    // A new sink is listed.
    ASSERT_EQ(server.pactl({"load-module", "module-null-sink", "sink_name=hdmi",
                            "sink_properties=device.description=HDMI"}).status, 0);
    ASSERT_TRUE(eventually([&] { return find(adapter->outputs(), "hdmi").has_value(); }));
    EXPECT_EQ(find(adapter->outputs(), "hdmi")->name, "HDMI");
}

TEST_F(MacVolumeAdapterPulseTest, SelectOutputMakesItTheDefaultSink) {
    auto adapter = make();
    int before = changes->count();
    adapter->selectOutput("headphones");
    EXPECT_GT(changes->count(), before);
    EXPECT_EQ(server.pactlLine({"get-default-sink"}), "headphones");
    auto outputs = adapter->outputs();
    EXPECT_TRUE(find(outputs, "headphones")->current);
    EXPECT_FALSE(find(outputs, "speakers")->current);

    auto error = errorOf([&] { adapter->selectOutput("nowhere"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, DeckError::notFound());
    error = errorOf([&] { adapter->setVolume(0.5, std::optional<std::string>("nowhere")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, DeckError::notFound());
    EXPECT_EQ(server.pactlLine({"get-default-sink"}), "headphones");
}

// Without a server every read falls back, the setters fall back to pactl
// (which fails quietly) and the throwing operations answer as designed.
TEST(MacVolumeAdapterWithoutServer, AnswersWithoutCrashing) {
    auto scripts = std::make_shared<std::atomic<int>>(0);
    auto adapter = MacVolumeAdapter::create(std::make_shared<PulseAudioSystem>("unix:/nonexistent/veltrane/native"),
                                            shellRunner(scripts));
    EXPECT_TRUE(adapter->outputs().empty());
    EXPECT_EQ(adapter->volume(), 0.5);
    EXPECT_FALSE(adapter->isMuted());

    adapter->setVolume(0.3);
    adapter->setMuted(true);
    EXPECT_EQ(*scripts, 2);
    EXPECT_FLOAT_EQ(adapter->volume(), 0.3f);
    EXPECT_TRUE(adapter->isMuted());

    auto error = errorOf([&] { adapter->selectOutput("speakers"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, DeckError::notFound());
    error = errorOf([&] { adapter->setVolume(0.2, std::optional<std::string>("speakers")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, DeckError::notFound());
    adapter->refreshCache(true);
    EXPECT_TRUE(adapter->outputs().empty());
}

}  // namespace
