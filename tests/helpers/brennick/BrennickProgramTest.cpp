#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "helpers/brennick/Brennick.h"
#include "platform/audio/PulseStreamMonitor.h"
#include "platform/x11/WindowList.h"
#include "platform/x11/X11Connection.h"
#include "tests/helpers/brennick/AudioRig.h"
#include "tests/support/Eventually.h"

using veltrane::testing::AudioRig;
using veltrane::testing::eventually;
using veltrane::testing::HelperProcess;
using veltrane::testing::toneLevel;
namespace x11 = veltrane::x11;

namespace {

constexpr const char* kTapNotice =
    "Core Audio app tap active for 2 processes; tablet-display apps are muted locally while streamed";
constexpr double kPresent = 0.03;  // the tones play at 1/8 of full scale
constexpr double kAbsent = 0.005;

class BrennickProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!rig.failure().empty()) GTEST_SKIP() << rig.failure();
    }

    // 440 Hz streamed, 1000 Hz on the main output, 660 Hz of the mirroring
    // application streamed, 880 Hz from the child of a streamed window.
    void startApps() {
        streamedApp = rig.startTone(440, "org.tone.a", AudioRig::kStreamedX);
        rig.startTone(1000, "org.tone.main", AudioRig::kMainX);
        rig.startTone(660, "com.tovrik.orrisfold", AudioRig::kStreamedX + 200);
        rig.startWindowWithPlayingChild(880, AudioRig::kStreamedX + 400);
        ASSERT_TRUE(eventually([&] { return rig.sinkInputCount() == 4; }, std::chrono::seconds(20)))
            << rig.sinkInputCount() << " streams";
        waitForWindows(4);
    }

    // A loaded machine may map a window well after its sound starts: wait
    // until `count` windows stand on the root with their owners known.
    void waitForWindows(std::ptrdiff_t count) {
        auto connection = x11::X11Connection::open();
        ASSERT_TRUE(connection);
        ASSERT_TRUE(eventually(
            [&] {
                auto windows = x11::listTopLevelWindows(*connection);
                if (!windows) return false;
                return std::count_if(windows->begin(), windows->end(),
                                     [](const x11::TopLevelWindow& w) { return w.ownerPID.has_value(); }) >= count;
            },
            std::chrono::seconds(20)))
            << "fewer than " << count << " windows";
    }

    std::unique_ptr<HelperProcess> startHelper() {
        auto helper = std::make_unique<HelperProcess>(
            BRENNICK_PATH, std::vector<std::string>{"--display-id", std::to_string(rig.streamedOutput())});
        EXPECT_TRUE(helper->waitForErrorLines(1)) << "no notice";
        return helper;
    }

    // Everything plays where it did before (on "speakers" unless `moved`
    // names the stream), and nothing of ours is left.
    void expectRestored(const std::map<std::string, std::string>& moved = {}) {
        for (const auto& [input, sink] : rig.sinkInputSinks()) {
            auto expected = moved.count(input) ? moved.at(input) : std::string("speakers");
            EXPECT_EQ(sink, expected) << "stream " << input;
        }
        auto left = rig.sinksAndModules();
        EXPECT_EQ(left.find("com.tovrik.orrisfold.session"), std::string::npos) << left;
        EXPECT_EQ(left.find("module-loopback"), std::string::npos) << left;
    }

    AudioRig rig;
    pid_t streamedApp = 0;
};

}  // namespace

TEST_F(BrennickProgramTest, CapturesTheStreamedAppsMutesThemLocallyAndSwitches) {
    startApps();
    auto helper = startHelper();
    ASSERT_EQ(helper->errorLines(), std::vector<std::string>{kTapNotice});

    auto captured = helper->collect(std::chrono::milliseconds(2000));
    EXPECT_NEAR(static_cast<double>(captured.size()), 96000.0, 12000.0);
    std::vector<std::int16_t> recent(captured.end() - std::min<std::size_t>(captured.size(), 24000), captured.end());
    EXPECT_GT(toneLevel(recent, 440), kPresent);
    EXPECT_GT(toneLevel(recent, 880), kPresent);
    EXPECT_LT(toneLevel(recent, 1000), kAbsent);
    EXPECT_LT(toneLevel(recent, 660), kAbsent);
    auto speakers = rig.listenToSpeakers(std::chrono::milliseconds(500));
    EXPECT_GT(toneLevel(speakers, 1000), kPresent);
    EXPECT_GT(toneLevel(speakers, 660), kPresent);
    EXPECT_LT(toneLevel(speakers, 440), kAbsent);
    EXPECT_LT(toneLevel(speakers, 880), kAbsent);

    // The characters "0" and "1" are not control bytes.
    helper->writeInput("01");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(helper->errorLines().size(), 1u);

    helper->writeInput(std::string(1, '\x01'));
    ASSERT_TRUE(helper->waitForErrorLines(2));
    EXPECT_EQ(helper->errorLines()[1], "Audio output switched to MacBook speakers");
    speakers = rig.listenToSpeakers(std::chrono::milliseconds(500));
    EXPECT_GT(toneLevel(speakers, 440), kPresent);
    // Still captured as well; a loaded machine may leave a gap in one window.
    EXPECT_TRUE(eventually([&] { return toneLevel(helper->collect(std::chrono::milliseconds(300)), 440) > kPresent; },
                           std::chrono::seconds(5)));

    helper->writeInput(std::string(1, '\x00'));
    ASSERT_TRUE(helper->waitForErrorLines(3));
    EXPECT_EQ(helper->errorLines()[2], "Audio output switched to tablet");
    speakers = rig.listenToSpeakers(std::chrono::milliseconds(500));
    EXPECT_LT(toneLevel(speakers, 440), kAbsent);

    // A new window on the display is taken within the refresh.
    rig.startTone(550, "org.tone.late", AudioRig::kStreamedX + 100);
    waitForWindows(5);
    EXPECT_TRUE(eventually([&] { return toneLevel(helper->collect(std::chrono::milliseconds(250)), 550) > kPresent; },
                           std::chrono::seconds(8)));
    EXPECT_EQ(helper->packetFault(), "");

    helper->signal(SIGTERM);
    int status = helper->wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expectRestored();
}

TEST_F(BrennickProgramTest, RunsOnIdleAfterItsInputClosesAndPutsBackWhenTheReaderGoes) {
    startApps();
    // One tapped stream plays on the other sink: it must go back there.
    std::string input = rig.sinkInputOf(streamedApp);
    ASSERT_FALSE(input.empty());
    ASSERT_EQ(rig.pulse().pactl({"move-sink-input", input, "headphones"}).status, 0);
    std::map<std::string, std::string> moved{{input, "headphones"}};
    auto helper = startHelper();
    helper->closeInput();
    auto ticks = [&] {
        std::ifstream stat("/proc/" + std::to_string(helper->pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string skip;
        long utime = 0, stime = 0;
        for (int i = 0; i < 11; ++i) fields >> skip;
        fields >> utime >> stime;
        return utime + stime;
    };
    long before = ticks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // A handler spinning on end of input would take the whole second (100 ticks).
    EXPECT_LT(ticks() - before, 50);
    EXPECT_GT(helper->collect(std::chrono::milliseconds(200)).size(), 0u);

    helper->closeOutput();
    int status = helper->wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    expectRestored(moved);
}

TEST_F(BrennickProgramTest, ASignalWhileStartingStillPutsEverythingBack) {
    startApps();
    for (int delay : {0, 20, 50, 100, 200}) {
        SCOPED_TRACE(delay);
        HelperProcess helper(BRENNICK_PATH, {"--display-id", std::to_string(rig.streamedOutput())});
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        helper.signal(SIGTERM);
        int status = helper.wait();
        // Before its signal thread runs the default action ends it, having made nothing.
        EXPECT_TRUE((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
                    (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
            << status;
        expectRestored();
    }
}

TEST_F(BrennickProgramTest, TheNextHelperUndoesOneThatWasKilled) {
    startApps();
    auto killed = startHelper();
    killed->signal(SIGKILL);
    killed->wait();
    EXPECT_NE(rig.sinksAndModules().find("com.tovrik.orrisfold.session"), std::string::npos);

    auto next = startHelper();
    EXPECT_EQ(next->errorLines(), std::vector<std::string>{kTapNotice});
    next->signal(SIGTERM);
    EXPECT_TRUE(WIFEXITED(next->wait()));
    expectRestored();
}

TEST_F(BrennickProgramTest, AnUnknownDisplayFailsAtStart) {
    HelperProcess helper(BRENNICK_PATH, {"--display-id", "7"});
    int status = helper.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(helper.errorLines(), std::vector<std::string>{"Display 7 is not available for audio capture"});
    expectRestored();
}

TEST_F(BrennickProgramTest, TheMonitorSessionCopiesTheStreamedAppsAndLeavesThemAudible) {
    startApps();
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // The session writes to a copy that stays open to the end of the test
    // process: its output queue may still be writing after stop(), as it may
    // in the program, where the process ends right after.
    const int sessionOutput = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 0);
    std::vector<std::string> log;
    std::mutex logMutex;
    veltrane::brennick::SessionEnvironment environment{veltrane::brennick::makeX11DisplayWindows(),
                                                       [&](const std::string& line) {
                                                           std::lock_guard lock(logMutex);
                                                           log.push_back(line);
                                                       },
                                                       sessionOutput, nullptr, std::chrono::milliseconds(2000)};
    auto session =
        veltrane::brennick::Brennick::create(veltrane::brennick::Options{rig.streamedOutput()},
                                             std::make_shared<veltrane::audio::PulseStreamMonitor>(), environment);
    session->start();
    // Read packets until the last half second carries the streamed tone: the
    // copied streams may take a while to start on a loaded machine (the bound
    // only keeps a broken session from hanging the test).
    std::vector<std::int16_t> left;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const auto carriesTone = [&] {
        if (left.size() < 24000) return false;
        std::vector<std::int16_t> last(left.end() - 24000, left.end());
        return toneLevel(last, 440) > kPresent;
    };
    while (std::chrono::steady_clock::now() < deadline && !carriesTone()) {
        std::uint8_t header[4];
        ASSERT_EQ(::read(fds[0], header, 4), 4);
        std::uint32_t length = (std::uint32_t(header[0]) << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
        ASSERT_TRUE(length > 0 && length < 65536 && length % 4 == 0) << length;
        std::vector<std::uint8_t> payload(length);
        std::size_t filled = 0;
        while (filled < length) {
            ssize_t got = ::read(fds[0], payload.data() + filled, length - filled);
            ASSERT_GT(got, 0);
            filled += static_cast<std::size_t>(got);
        }
        for (std::size_t i = 0; i < length; i += 4)
            left.push_back(static_cast<std::int16_t>(payload[i] | (payload[i + 1] << 8)));
    }
    std::vector<std::int16_t> recent(left.end() - std::min<std::size_t>(left.size(), 24000), left.end());
    EXPECT_GT(toneLevel(recent, 440), kPresent);
    EXPECT_LT(toneLevel(recent, 1000), kAbsent);
    EXPECT_LT(toneLevel(recent, 660), kAbsent);
    session->setOutputOnMac(true);
    auto speakers = rig.listenToSpeakers(std::chrono::milliseconds(500));
    EXPECT_GT(toneLevel(speakers, 440), kPresent);
    EXPECT_GT(toneLevel(speakers, 1000), kPresent);
    session->stop();
    {
        std::lock_guard lock(logMutex);
        EXPECT_EQ(log, std::vector<std::string>{"Tablet display application audio active at 48 kHz stereo"});
    }
    session.reset();
    ::close(fds[0]);
    ::close(fds[1]);
}
