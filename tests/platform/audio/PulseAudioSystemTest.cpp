#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>
#include <thread>

#include "platform/audio/PulseAudioSystem.h"
#include "platform/dispatch/SerialQueue.h"
#include "tests/support/Eventually.h"
#include "tools/pulse/PrivatePulseServer.h"

using veltrane::audio::DeviceID;
using veltrane::audio::kNoDevice;
using veltrane::audio::Listener;
using veltrane::audio::Property;
using veltrane::audio::PulseAudioSystem;
using veltrane::dispatch::SerialQueue;
using veltrane::testing::EventCounter;
using veltrane::testing::eventually;
using veltrane::testing::PrivatePulseServer;

namespace {

class PulseAudioSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << "no private PulseAudio server: " << server.failure();
        audio = std::make_unique<PulseAudioSystem>(server.address());
        ASSERT_TRUE(audio->isConnected());
        auto devices = audio->devices();
        ASSERT_TRUE(devices);
        for (DeviceID d : *devices) byName[audio->uid(d).value()] = d;
        ASSERT_EQ(byName.size(), 2u);
    }

    // A listener that counts its calls into `counter`, which it keeps alive:
    // a late event may still be delivered after the test body has ended.
    static std::shared_ptr<const Listener> counting(const std::shared_ptr<EventCounter>& counter) {
        return std::make_shared<const Listener>([counter] { counter->add(); });
    }
    static std::shared_ptr<EventCounter> counter() { return std::make_shared<EventCounter>(); }

    PrivatePulseServer server;
    std::unique_ptr<PulseAudioSystem> audio;
    std::map<std::string, DeviceID> byName;
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("test.audio");
};

TEST_F(PulseAudioSystemTest, ShowsSinksAsDevices) {
    DeviceID speakers = byName.at("speakers"), headphones = byName.at("headphones");
    EXPECT_NE(speakers, kNoDevice);
    EXPECT_NE(headphones, kNoDevice);
    EXPECT_EQ(audio->name(speakers), "Speakers");
    EXPECT_EQ(audio->name(headphones), "Headphones");
    EXPECT_EQ(audio->defaultOutput(), speakers);
    EXPECT_EQ(audio->outputChannelCount(speakers), 2u);
    EXPECT_EQ(audio->mute(speakers), false);
    EXPECT_FLOAT_EQ(audio->mainVolume(speakers).value(), 1.0f);
    EXPECT_EQ(audio->serverAddress(), server.address());
    EXPECT_FALSE(audio->uid(kNoDevice));
    EXPECT_FALSE(audio->uid(headphones + 100));
}

TEST_F(PulseAudioSystemTest, WritesReachTheServerAndTheNextRead) {
    DeviceID speakers = byName.at("speakers"), headphones = byName.at("headphones");

    ASSERT_TRUE(audio->setMainVolume(speakers, 0.404f));
    EXPECT_NEAR(audio->mainVolume(speakers).value(), 0.404, 1e-4);
    EXPECT_NE(server.pactlLine({"get-sink-volume", "speakers"}).find("/  40% /"), std::string::npos)
        << server.pactlLine({"get-sink-volume", "speakers"});

    // A channel alone: the main volume is the louder channel.
    ASSERT_TRUE(audio->setChannelVolume(speakers, 1, 0.25f));
    EXPECT_NEAR(audio->channelVolume(speakers, 1).value(), 0.25, 1e-4);
    EXPECT_NEAR(audio->channelVolume(speakers, 2).value(), 0.404, 1e-4);
    EXPECT_NEAR(audio->mainVolume(speakers).value(), 0.404, 1e-4);
    // The main volume keeps the balance.
    ASSERT_TRUE(audio->setMainVolume(speakers, 0.808f));
    EXPECT_NEAR(audio->channelVolume(speakers, 1).value(), 0.5, 1e-3);
    EXPECT_NEAR(audio->channelVolume(speakers, 2).value(), 0.808, 1e-4);

    // No separate main channel, no third channel.
    EXPECT_FALSE(audio->channelVolume(speakers, 0));
    EXPECT_FALSE(audio->setChannelVolume(speakers, 0, 0.5f));
    EXPECT_FALSE(audio->channelVolume(speakers, 3));
    EXPECT_FALSE(audio->setChannelVolume(speakers, 3, 0.5f));

    ASSERT_TRUE(audio->setMute(speakers, true));
    EXPECT_EQ(audio->mute(speakers), true);
    EXPECT_EQ(server.pactlLine({"get-sink-mute", "speakers"}), "Mute: yes");

    ASSERT_TRUE(audio->setDefaultOutput(headphones));
    EXPECT_EQ(audio->defaultOutput(), headphones);
    EXPECT_EQ(server.pactlLine({"get-default-sink"}), "headphones");

    EXPECT_FALSE(audio->setMute(headphones + 100, true));
    EXPECT_FALSE(audio->setDefaultOutput(kNoDevice));
}

TEST_F(PulseAudioSystemTest, LevelsAreClampedBothWays) {
    DeviceID speakers = byName.at("speakers");
    ASSERT_TRUE(audio->setMainVolume(speakers, 1.7f));
    EXPECT_FLOAT_EQ(audio->mainVolume(speakers).value(), 1.0f);
    ASSERT_TRUE(audio->setMainVolume(speakers, -0.3f));
    EXPECT_FLOAT_EQ(audio->mainVolume(speakers).value(), 0.0f);
    // Amplified above 100 % elsewhere still reads as the full level.
    ASSERT_EQ(server.pactl({"set-sink-volume", "speakers", "150%"}).status, 0);
    ASSERT_TRUE(eventually([&] { return audio->mainVolume(speakers) == 1.0f; }));
    EXPECT_FLOAT_EQ(audio->channelVolume(speakers, 1).value(), 1.0f);
}

TEST_F(PulseAudioSystemTest, ChangesMadeElsewhereReachListenersAndReads) {
    DeviceID speakers = byName.at("speakers");
    auto volumeChanges = counter(), muteChanges = counter(), defaultChanges = counter(),
         deviceChanges = counter(), otherDevice = counter();
    auto onVolume = counting(volumeChanges);
    audio->addListener(Property::mainVolume, speakers, queue, onVolume);
    audio->addListener(Property::mute, speakers, queue, counting(muteChanges));
    audio->addListener(Property::defaultOutput, kNoDevice, queue, counting(defaultChanges));
    audio->addListener(Property::devices, kNoDevice, queue, counting(deviceChanges));
    audio->addListener(Property::mainVolume, byName.at("headphones"), queue, counting(otherDevice));

    ASSERT_EQ(server.pactl({"set-sink-volume", "speakers", "30%"}).status, 0);
    ASSERT_TRUE(volumeChanges->waitFor(1));
    EXPECT_NEAR(audio->mainVolume(speakers).value(), 0.30, 1e-3);

    ASSERT_EQ(server.pactl({"set-sink-mute", "speakers", "1"}).status, 0);
    ASSERT_TRUE(muteChanges->waitFor(1));
    EXPECT_EQ(audio->mute(speakers), true);

    ASSERT_EQ(server.pactl({"set-default-sink", "headphones"}).status, 0);
    ASSERT_TRUE(defaultChanges->waitFor(1));
    EXPECT_EQ(audio->defaultOutput(), byName.at("headphones"));

    ASSERT_EQ(server.pactl({"load-module", "module-null-sink", "sink_name=extra"}).status, 0);
    ASSERT_TRUE(deviceChanges->waitFor(1));
    EXPECT_EQ(audio->devices()->size(), 3u);

    // A removed listener hears nothing more. Events arrive in order, so once
    // the later mute change is heard the volume change has been delivered.
    audio->removeListener(Property::mainVolume, speakers, onVolume);
    int heard = volumeChanges->count();
    ASSERT_EQ(server.pactl({"set-sink-volume", "speakers", "60%"}).status, 0);
    ASSERT_EQ(server.pactl({"set-sink-mute", "speakers", "0"}).status, 0);
    ASSERT_TRUE(muteChanges->waitFor(2));
    EXPECT_EQ(volumeChanges->count(), heard);
    EXPECT_EQ(otherDevice->count(), 0) << "another device's listener heard the speakers";
}

TEST_F(PulseAudioSystemTest, ReadsStayUsableWhileOtherThreadsWrite) {
    DeviceID speakers = byName.at("speakers");
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            auto devices = audio->devices();
            if (devices)
                for (DeviceID d : *devices) (void)audio->mainVolume(d), (void)audio->uid(d);
        }
    });
    for (int i = 0; i <= 20; ++i) ASSERT_TRUE(audio->setMainVolume(speakers, static_cast<float>(i) / 20));
    stop = true;
    reader.join();
    EXPECT_FLOAT_EQ(audio->mainVolume(speakers).value(), 1.0f);
}

TEST_F(PulseAudioSystemTest, LostServerEmptiesReadsAndIsReconnected) {
    // Each delivery records how many devices it could read then (-1: none).
    struct Seen {
        std::mutex mutex;
        std::vector<int> sizes;
    };
    auto seen = std::make_shared<Seen>();
    PulseAudioSystem* system = audio.get();
    audio->addListener(Property::devices, kNoDevice, queue, std::make_shared<const Listener>([seen, system] {
        auto devices = system->devices();
        std::lock_guard lock(seen->mutex);
        seen->sizes.push_back(devices ? static_cast<int>(devices->size()) : -1);
    }));
    auto sawDevices = [&](int size) {
        std::lock_guard lock(seen->mutex);
        return std::count(seen->sizes.begin(), seen->sizes.end(), size) > 0;
    };

    server.stop();
    ASSERT_TRUE(eventually([&] { return sawDevices(-1); })) << "the loss was not announced";
    EXPECT_FALSE(audio->isConnected());
    EXPECT_FALSE(audio->devices());
    EXPECT_FALSE(audio->defaultOutput());
    EXPECT_FALSE(audio->mainVolume(byName.at("speakers")));
    EXPECT_FALSE(audio->setMainVolume(byName.at("speakers"), 0.5f));
    EXPECT_FALSE(sawDevices(2)) << ::testing::PrintToString(seen->sizes);

    // Every delivery since the stop read fewer devices, so one that reads
    // both again was announced by the reconnection.
    ASSERT_TRUE(server.start()) << server.failure();
    ASSERT_TRUE(eventually([&] { return sawDevices(2); })) << "the reconnection was not announced";
    EXPECT_TRUE(audio->isConnected());
    ASSERT_TRUE(audio->defaultOutput());
    EXPECT_EQ(audio->uid(*audio->defaultOutput()), "speakers");
}

TEST(PulseAudioSystemWithoutServer, ReadsAreEmptyAndWritesFail) {
    PulseAudioSystem audio("unix:/nonexistent/veltrane/native");
    EXPECT_FALSE(audio.isConnected());
    EXPECT_FALSE(audio.devices());
    EXPECT_FALSE(audio.defaultOutput());
    EXPECT_FALSE(audio.uid(1));
    EXPECT_FALSE(audio.mainVolume(1));
    EXPECT_FALSE(audio.setMainVolume(1, 0.5f));
    EXPECT_FALSE(audio.setMute(1, true));
    EXPECT_FALSE(audio.setDefaultOutput(1));
}

}  // namespace
