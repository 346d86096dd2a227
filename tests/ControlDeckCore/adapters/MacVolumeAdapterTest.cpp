#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <future>
#include <limits>

#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "tests/ControlDeckCore/adapters/ScriptedAudioSystem.h"
#include "tests/support/Eventually.h"

using namespace veltrane::deck;
using veltrane::audio::DeviceID;
using veltrane::audio::Property;
using veltrane::testing::eventually;
using veltrane::testing::ScriptedAudioSystem;
using Device = ScriptedAudioSystem::Device;

namespace {

constexpr DeviceID kSpeakers = 7, kHeadphones = 9;

Device device(std::string uid, std::string name, std::optional<float> level) {
    Device d;
    d.uid = std::move(uid);
    d.name = std::move(name);
    d.main = d.channel1 = d.channel2 = level;
    return d;
}

struct Command {
    std::string path;
    std::vector<std::string> arguments;
    double timeout;
};

class MacVolumeAdapterTest : public ::testing::Test {
protected:
    MacVolumeAdapterTest() {
        audio->setDevice(kSpeakers, device("speakers", "Speakers", 0.6f));
        audio->setDevice(kHeadphones, device("headphones", "Headphones", 0.3f));
        audio->setDefault(kSpeakers);
    }

    std::shared_ptr<MacVolumeAdapter> make(double poll = MacVolumeAdapter::kPollInterval) {
        auto adapter = MacVolumeAdapter::create(
            audio,
            [commands = commands, mutex = commandMutex](const std::string& path, const std::vector<std::string>& args,
                                                       double timeout) {
                std::lock_guard lock(*mutex);
                commands->push_back({path, args, timeout});
            },
            poll);
        adapter->setOnChange([count = changes] { ++*count; });
        return adapter;
    }

    std::vector<Command> ranCommands() const {
        std::lock_guard lock(*commandMutex);
        return *commands;
    }

    static std::optional<AudioOutput> find(const std::vector<AudioOutput>& outputs, const std::string& id) {
        for (const auto& o : outputs)
            if (o.id == id) return o;
        return std::nullopt;
    }

    std::shared_ptr<ScriptedAudioSystem> audio = std::make_shared<ScriptedAudioSystem>();
    std::shared_ptr<std::vector<Command>> commands = std::make_shared<std::vector<Command>>();
    std::shared_ptr<std::mutex> commandMutex = std::make_shared<std::mutex>();
    std::shared_ptr<std::atomic<int>> changes = std::make_shared<std::atomic<int>>(0);
};

TEST_F(MacVolumeAdapterTest, ReadsTheMainVolumeUnlessTheChannelsDisagree) {
    struct Case {
        const char* name;
        std::optional<float> main, channel1, channel2;
        double expected;
    };
    const Case cases[] = {
        {"channels' mean within 0.02", 0.50f, 0.51f, 0.53f, 0.50},
        {"channels further away", 0.50f, 0.60f, 0.60f, 0.60},
        {"only channel 2", std::nullopt, std::nullopt, 0.70f, 0.70},
        {"only channel 1", std::nullopt, 0.30f, std::nullopt, 0.30},
        {"only the main volume", 0.45f, std::nullopt, std::nullopt, 0.45},
        {"negative main volume", -1.0f, 0.40f, 0.20f, 0.30},
        {"nothing readable: the last known level", std::nullopt, std::nullopt, std::nullopt, 0.5},
    };
    for (const auto& c : cases) {
        audio->editDevice(kSpeakers, [&](Device& d) {
            d.main = c.main;
            d.channel1 = c.channel1;
            d.channel2 = c.channel2;
        });
        auto adapter = make();
        auto speakers = find(adapter->outputs(), "speakers");
        ASSERT_TRUE(speakers) << c.name;
        EXPECT_NEAR(speakers->volume, c.expected, 1e-6) << c.name;
        EXPECT_NEAR(adapter->volume(), c.expected, 1e-6) << c.name;
    }
}

TEST_F(MacVolumeAdapterTest, UnreadableValuesFallBackByRole) {
    for (DeviceID id : {kSpeakers, kHeadphones})
        audio->editDevice(id, [](Device& d) { d.main = d.channel1 = d.channel2 = std::nullopt, d.muted = std::nullopt; });
    audio->editDevice(kHeadphones, [](Device& d) { d.name = ""; });
    auto adapter = make();
    auto outputs = adapter->outputs();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0], (AudioOutput{"speakers", "Speakers", 0.5, false, true}));
    EXPECT_EQ(outputs[1], (AudioOutput{"headphones", "Output", 0.0, false, false}));
}

TEST_F(MacVolumeAdapterTest, ListsTheDefaultOutputEvenWhenItCannotPlay) {
    constexpr DeviceID kMicrophone = 3;
    Device microphone = device("", "Mic", std::nullopt);
    microphone.channels = 0;
    microphone.main = 0.8f;
    microphone.muted = true;
    audio->setDevice(kMicrophone, microphone);
    audio->setDefault(kMicrophone);
    auto adapter = make();
    auto outputs = adapter->outputs();
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_EQ(outputs[0].id, "speakers");
    EXPECT_EQ(outputs[1].id, "headphones");
    // No uid: the device number stands in.
    EXPECT_EQ(outputs[2], (AudioOutput{"3", "Mic", 0.8f, true, true}));
    EXPECT_FALSE(outputs[0].current || outputs[1].current);
    EXPECT_TRUE(adapter->isMuted());
}

TEST_F(MacVolumeAdapterTest, IdenticalRefreshesAnnounceOnce) {
    auto adapter = make();
    adapter->refreshCache(true);
    adapter->refreshCache(true);
    // The poll may have run too: with nothing changed it announces nothing more.
    EXPECT_EQ(*changes, 1);
    audio->editDevice(kHeadphones, [](Device& d) { d.main = d.channel1 = d.channel2 = 0.9f; });
    adapter->refreshCache(true);
    EXPECT_EQ(*changes, 2) << "another output's volume is a change";
    adapter->refreshCache(true);
    EXPECT_EQ(*changes, 2);
}

TEST_F(MacVolumeAdapterTest, RefusedDefaultVolumeFallsBackToPactl) {
    audio->editDevice(kSpeakers, [](Device& d) { d.refusesWrites = true; });
    audio->setServer("unix:/run/a/native");
    auto adapter = make();
    int before = *changes;
    adapter->setVolume(0.404);
    EXPECT_GE(*changes - before, 1);
    auto ran = ranCommands();
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0].path, "/usr/bin/pactl");
    EXPECT_EQ(ran[0].arguments,
              (std::vector<std::string>{"--server=unix:/run/a/native", "set-sink-volume", "@DEFAULT_SINK@", "40%"}));
    EXPECT_EQ(ran[0].timeout, 2.0);

    audio->setServer(std::nullopt);
    adapter->setMuted(true);
    adapter->setVolume(0.5, std::optional<std::string>(""));  // empty id: the default output
    ran = ranCommands();
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[1].arguments, (std::vector<std::string>{"set-sink-mute", "@DEFAULT_SINK@", "1"}));
    EXPECT_EQ(ran[2].arguments, (std::vector<std::string>{"set-sink-volume", "@DEFAULT_SINK@", "50%"}));
    adapter->setVolume(0.7, std::optional<std::string>("speakers"));  // named default output
    ASSERT_EQ(ranCommands().size(), 4u);
    // The requested values stand until a refresh reads what the device says.
    adapter->refreshCache(true);
    EXPECT_FLOAT_EQ(adapter->volume(), 0.6f);
    EXPECT_FALSE(adapter->isMuted());
}

TEST_F(MacVolumeAdapterTest, AcceptedWritesRunNoScript) {
    auto adapter = make();
    adapter->setVolume(0.25);
    adapter->setMuted(true);
    adapter->setVolume(0.75, std::optional<std::string>("headphones"));
    EXPECT_TRUE(ranCommands().empty());
    EXPECT_FLOAT_EQ(audio->mainVolume(kSpeakers).value(), 0.25f);
    EXPECT_EQ(audio->mute(kSpeakers), true);
    EXPECT_FLOAT_EQ(audio->mainVolume(kHeadphones).value(), 0.75f);
    // Another device's level is not the default output's.
    EXPECT_FLOAT_EQ(adapter->volume(), 0.25f);
    adapter->refreshCache(true);
    EXPECT_NEAR(find(adapter->outputs(), "headphones")->volume, 0.75, 1e-6);
}

TEST_F(MacVolumeAdapterTest, LevelsAreClamped) {
    auto adapter = make();
    struct Case {
        double level;
        float written;
    };
    const Case cases[] = {{1.7, 1.0f}, {-0.2, 0.0f}, {std::numeric_limits<double>::quiet_NaN(), 0.0f}, {0.33, 0.33f}};
    for (const auto& c : cases) {
        adapter->setVolume(c.level);
        EXPECT_FLOAT_EQ(audio->mainVolume(kSpeakers).value(), c.written) << c.level;
        EXPECT_FLOAT_EQ(adapter->volume(), c.written) << c.level;
    }
}

TEST_F(MacVolumeAdapterTest, ARefreshThatReadBeforeAWriteDoesNotUndoIt) {
    auto adapter = make(3600);
    // The first refresh after the hook is set stops right after reading the
    // old level and mute; the write lands meanwhile; the next refresh stops on entry,
    // which is after the first one has stored what it read.
    std::promise<void> firstRead, secondRead, releaseFirst, releaseSecond;
    auto first = releaseFirst.get_future().share(), second = releaseSecond.get_future().share();
    std::atomic<int> reads{0};
    audio->afterMuteRead = [&, first, second](DeviceID device) {
        if (device != kSpeakers) return;
        int n = ++reads;
        if (n == 1) {
            firstRead.set_value();
            first.wait();
        } else if (n == 2) {
            secondRead.set_value();
            second.wait();
        }
    };
    audio->announce(Property::mainVolume, kSpeakers);
    firstRead.get_future().wait();
    adapter->setVolume(0.2);
    releaseFirst.set_value();
    secondRead.get_future().wait();
    EXPECT_FLOAT_EQ(adapter->volume(), 0.2f) << "the older reading replaced the written level";
    releaseSecond.set_value();
    EXPECT_TRUE(eventually([&] { return find(adapter->outputs(), "speakers")->volume == 0.2f; }));
    audio->afterMuteRead = nullptr;
}

TEST_F(MacVolumeAdapterTest, ErrorsOfTheThrowingOperations) {
    audio->editDevice(kHeadphones, [](Device& d) { d.refusesWrites = true; });
    auto adapter = make();
    struct Row {
        const char* name;
        std::function<void()> action;
        DeckError expected;
    };
    const Row rows[] = {
        {"select unknown", [&] { adapter->selectOutput("nope"); }, DeckError::notFound()},
        {"volume of unknown", [&] { adapter->setVolume(0.5, std::optional<std::string>("nope")); },
         DeckError::notFound()},
        {"refused level on another device", [&] { adapter->setVolume(0.5, std::optional<std::string>("headphones")); },
         DeckError::permissionDenied("Volume")},
    };
    for (const auto& row : rows) {
        try {
            row.action();
            ADD_FAILURE() << row.name << " did not throw";
        } catch (const DeckError& error) {
            EXPECT_EQ(error, row.expected) << row.name;
        }
    }
    EXPECT_TRUE(ranCommands().empty()) << "a refused level on another device runs no script";

    audio->refuseDefaultChange(true);
    try {
        adapter->selectOutput("headphones");
        ADD_FAILURE() << "a refused switch did not throw";
    } catch (const DeckError& error) {
        EXPECT_EQ(error, DeckError::permissionDenied("Audio output"));
    }
    EXPECT_EQ(audio->defaultOutput(), kSpeakers);
}

TEST_F(MacVolumeAdapterTest, SelectingAnOutputMovesTheListeners) {
    auto adapter = make();
    using R = ScriptedAudioSystem::Registration;
    auto registrations = audio->registrations();
    for (const R& r : {R{Property::defaultOutput, 0}, R{Property::devices, 0}, R{Property::mainVolume, kSpeakers},
                       R{Property::mute, kSpeakers}})
        EXPECT_EQ(std::count(registrations.begin(), registrations.end(), r), 1);

    int before = *changes;
    adapter->selectOutput("headphones");
    EXPECT_GE(*changes - before, 1);
    EXPECT_EQ(audio->defaultOutput(), kHeadphones);
    auto outputs = adapter->outputs();
    EXPECT_TRUE(find(outputs, "headphones")->current);
    EXPECT_FALSE(find(outputs, "speakers")->current);
    EXPECT_FLOAT_EQ(adapter->volume(), 0.3f);

    registrations = audio->registrations();
    EXPECT_EQ(std::count(registrations.begin(), registrations.end(), R{Property::mainVolume, kSpeakers}), 0);
    EXPECT_EQ(std::count(registrations.begin(), registrations.end(), R{Property::mute, kSpeakers}), 0);
    EXPECT_EQ(std::count(registrations.begin(), registrations.end(), R{Property::mainVolume, kHeadphones}), 1);
    EXPECT_EQ(std::count(registrations.begin(), registrations.end(), R{Property::mute, kHeadphones}), 1);
}

// With the poll slowed to an hour only the listeners can bring the change.
TEST_F(MacVolumeAdapterTest, ListenersBringChangesMadeElsewhere) {
    auto adapter = make(3600);
    audio->editDevice(kSpeakers, [](Device& d) { d.muted = true; });
    audio->announce(Property::mute, kSpeakers);
    ASSERT_TRUE(eventually([&] { return adapter->isMuted(); }));
    EXPECT_GE(*changes, 1);

    audio->setDefault(kHeadphones);
    audio->announce(Property::defaultOutput, 0);
    ASSERT_TRUE(eventually([&] { return find(adapter->outputs(), "headphones")->current; }));
    EXPECT_FALSE(adapter->isMuted());
}

TEST_F(MacVolumeAdapterTest, SettersAndRefreshesRaceSafely) {
    auto adapter = make(0.001);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) (void)adapter->outputs(), (void)adapter->volume(), (void)adapter->isMuted();
    });
    for (int i = 0; i < 200; ++i) {
        adapter->setVolume(i / 200.0);
        adapter->setMuted(i % 2 == 0);
        adapter->setOnChange([count = changes] { ++*count; });
        if (i % 50 == 0) adapter->selectOutput(i % 100 == 0 ? "headphones" : "speakers");
    }
    stop = true;
    reader.join();
    adapter->refreshCache(true);
    EXPECT_FALSE(adapter->isMuted());
    EXPECT_NEAR(adapter->volume(), 199 / 200.0, 1e-6);
}

}  // namespace
