// The built mirabeck against real players on a private session bus: mpv with
// its MPRIS plugin playing generated files, python-dbusmock as a second
// player, playerctl and busctl as the readers we compare with.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "platform/process/ChildProcess.h"
#include "platform/process/Shell.h"
#include "tests/helpers/mirabeck/LineChecks.h"
#include "tests/support/Eventually.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane;
using namespace std::chrono_literals;
using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

namespace {

const std::string kMirabeck = MIRABECK_PATH;

process::ShellResult sh(const std::string& command, double timeout = 30) {
    return process::Shell::run("/bin/sh", {"-c", command}, timeout);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// mirabeck --watch with its lines collected, each with when it arrived.
class Watcher {
public:
    struct Line {
        SteadyClock::time_point at;
        Json json;
    };
    Watcher() {
        std::string error;
        child_ = process::ChildProcess::spawn(kMirabeck, {"--watch"}, error);
        if (!child_) {
            ADD_FAILURE() << error;
            return;
        }
        reader_ = std::thread([this] {
            std::string pending;
            while (!stop_ && child_->pipesOpen())
                child_->pump(20ms, [&](process::ChildProcess::Stream s, const char* d, std::size_t n) {
                    if (s != process::ChildProcess::Stream::out) {
                        std::lock_guard lock(mutex_);
                        stderr_.append(d, n);
                        return;
                    }
                    pending.append(d, n);
                    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                        Line line{SteadyClock::now(), Json::parse(pending.substr(0, end), nullptr, false)};
                        pending.erase(0, end + 1);
                        std::lock_guard lock(mutex_);
                        lines_.push_back(std::move(line));
                    }
                });
        });
    }
    ~Watcher() {
        if (!child_) return;
        child_->sendSignal(SIGKILL);
        stop_ = true;
        reader_.join();
        veltrane::testing::eventually([&] { return !child_->isRunning(); });
    }
    std::vector<Line> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::string standardError() {
        std::lock_guard lock(mutex_);
        return stderr_;
    }
    // The first line after `since` that `match` accepts.
    template <class Match>
    std::optional<Line> waitFor(SteadyClock::time_point since, Match match) {
        std::optional<Line> found;
        veltrane::testing::eventually(
            [&] {
                for (const auto& line : lines())
                    if (line.at >= since && match(line.json)) {
                        found = line;
                        return true;
                    }
                return false;
            },
            10s);
        return found;
    }

private:
    std::unique_ptr<process::ChildProcess> child_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Line> lines_;
    std::string stderr_;
};

// A bus, two generated tracks with a large cover beside them, and mpv
// looping them; shared by the suite (making the files takes seconds).
class MirabeckProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new veltrane::testing::TempDirectory();
        const std::string dir = folder_->path().string();
        const std::string tone =
            "ffmpeg -loglevel error -y -f lavfi -i sine=frequency=%s:duration=60 -metadata title='%s' "
            "-metadata artist='%s' -metadata album='Generated Album' '" +
            dir + "/%s.mp3'";
        for (const auto& [f, title, artist, name] :
             {std::tuple{"440", "First Tone", "A & B", "1"}, std::tuple{"660", "Second Tone", "C", "2"}}) {
            char command[512];
            std::snprintf(command, sizeof command, tone.c_str(), f, title, artist, name);
            ASSERT_EQ(sh(command, 60).status, 0) << command;
        }
        ASSERT_EQ(sh("ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=2400x1600,noise=alls=60:allf=t "
                     "-frames:v 1 -q:v 2 '" +
                         dir + "/cover.jpg'",
                     60)
                      .status,
                  0);

        std::string error;
        bus_ = veltrane::testing::PrivateBus::start(error).release();
        ASSERT_TRUE(bus_) << error;
        environment_ = new veltrane::testing::ScopedEnvironment();
        environment_->set("DBUS_SESSION_BUS_ADDRESS", bus_->address());
        mpv_ = process::ChildProcess::spawn(
                   "/bin/sh",
                   {"-c",
                    "exec mpv --no-config --script=/usr/lib/mpv-mpris/mpris.so --ao=null --vo=null "
                    "--loop-playlist=inf '" +
                        dir + "/1.mp3' '" + dir + "/2.mp3' >/dev/null 2>&1"},
                   error)
                   .release();
        ASSERT_TRUE(mpv_) << error;
        // Playing comes before the first track's tags are read (the title is the
        // file name until then; only tags give an album).
        ASSERT_TRUE(veltrane::testing::eventually(
            [] { return playerctl("status") == "Playing" && !playerctl("metadata xesam:album").empty(); }));
    }
    static void TearDownTestSuite() {
        if (mpv_) {
            mpv_->sendSignal(SIGTERM);
            veltrane::testing::eventually([] { return !mpv_->isRunning(); });
            delete mpv_;
        }
        delete environment_;
        delete bus_;
        delete folder_;
    }
    void SetUp() override {
        ASSERT_TRUE(mpv_ && bus_);
        if (playerctl("status") != "Playing") playerctl("play");
        ASSERT_TRUE(veltrane::testing::eventually([] { return playerctl("status") == "Playing"; }));
    }

    static std::string playerctl(const std::string& arguments) {
        return trimmed(sh("playerctl -p mpv " + arguments).stdout);
    }
    static Json oneShot() {
        auto result = process::Shell::run(kMirabeck, {}, 10);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.stderr, "");
        EXPECT_EQ(std::count(result.stdout.begin(), result.stdout.end(), '\n'), 1) << result.stdout;
        return Json::parse(result.stdout, nullptr, false);
    }

    static veltrane::testing::TempDirectory* folder_;
    static veltrane::testing::PrivateBus* bus_;
    static veltrane::testing::ScopedEnvironment* environment_;
    static process::ChildProcess* mpv_;
};

veltrane::testing::TempDirectory* MirabeckProgram::folder_ = nullptr;
veltrane::testing::PrivateBus* MirabeckProgram::bus_ = nullptr;
veltrane::testing::ScopedEnvironment* MirabeckProgram::environment_ = nullptr;
process::ChildProcess* MirabeckProgram::mpv_ = nullptr;

}  // namespace

TEST(MirabeckWithoutBus, PrintsOnlyOkFalse) {
    veltrane::testing::TempDirectory runtime;
    struct Case {
        const char* name;
        std::optional<std::string> address;
    };
    const Case cases[] = {
        {"no address and no runtime socket", std::nullopt},
        {"an address nobody listens on", "unix:path=" + (runtime.path() / "nobody").string()},
    };
    for (const auto& c : cases) {
        for (const bool watch : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (watch ? " --watch" : ""));
            veltrane::testing::ScopedEnvironment environment;
            environment.set("XDG_RUNTIME_DIR", runtime.path().string());
            if (c.address)
                environment.set("DBUS_SESSION_BUS_ADDRESS", *c.address);
            else
                environment.unset("DBUS_SESSION_BUS_ADDRESS");
            const auto result = process::Shell::run(
                kMirabeck, watch ? std::vector<std::string>{"--watch"} : std::vector<std::string>{}, 10);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.stdout, "{\"ok\":false}\n");
            EXPECT_EQ(result.stderr, "");
        }
    }
}

TEST(MirabeckOnEmptyBus, SaysNothingPlays) {
    std::string error;
    auto bus = veltrane::testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    veltrane::testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    const auto result = process::Shell::run(kMirabeck, {}, 10);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.stderr, "");
    veltrane::testing::expectNothingPlaying(Json::parse(result.stdout, nullptr, false));
}

TEST_F(MirabeckProgram, OneShotAgreesWithPlayerctlAndTheBus) {
    const double before = std::stod(playerctl("position"));
    const Json line = oneShot();
    const double after = std::stod(playerctl("position"));
    ASSERT_TRUE(line.is_object());
    EXPECT_EQ(line["ok"], true);
    EXPECT_EQ(line["title"], playerctl("metadata xesam:title"));
    EXPECT_EQ(line["artist"], playerctl("metadata xesam:artist"));
    EXPECT_EQ(line["album"], playerctl("metadata xesam:album"));
    EXPECT_DOUBLE_EQ(line["duration"].get<double>(), std::stod(playerctl("metadata mpris:length")) / 1e6);
    EXPECT_GE(line["rawElapsed"].get<double>(), before - 0.3);
    EXPECT_LE(line["rawElapsed"].get<double>(), after + 0.3);
    const auto busPid = sh("busctl --address='" + bus_->address() +
                           "' call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus "
                           "GetConnectionUnixProcessID s org.mpris.MediaPlayer2.mpv");
    EXPECT_EQ("u " + std::to_string(line["pid"].get<int>()), trimmed(busPid.stdout));
    EXPECT_EQ(line["bundleId"], "mpv");
    EXPECT_EQ(line["source"], "mpv");
    EXPECT_EQ(line["playing"], true);
    EXPECT_EQ(line["playbackRate"], 1);
    EXPECT_EQ(line["elapsedKnown"], true);

    // The cover, fitted and re-encoded, read back by ffprobe.
    ASSERT_TRUE(line.contains("artwork"));
    const auto dir = folder_->path().string();
    { std::ofstream(dir + "/artwork.b64") << line["artwork"].get<std::string>(); }
    ASSERT_EQ(sh("base64 -d '" + dir + "/artwork.b64' > '" + dir + "/artwork.jpg'").status, 0);
    EXPECT_LT(std::filesystem::file_size(dir + "/artwork.jpg"), 220'000u);
    EXPECT_EQ(trimmed(sh("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" + dir +
                         "/artwork.jpg'")
                          .stdout),
              "mjpeg,600,400");
}

TEST_F(MirabeckProgram, OneShotOfAPausedPlayer) {
    playerctl("pause");
    ASSERT_TRUE(veltrane::testing::eventually([] { return playerctl("status") == "Paused"; }));
    const Json line = oneShot();
    EXPECT_NEAR(line["rawElapsed"].get<double>(), std::stod(playerctl("position")), 0.3);
    EXPECT_EQ(line["elapsed"], line["rawElapsed"]);
    EXPECT_EQ(line["playing"], false);
    EXPECT_EQ(line["playbackRate"], 0);
    EXPECT_EQ(line["ok"], true);
}

TEST_F(MirabeckProgram, WatchFollowsThePlayer) {
    Watcher watcher;
    ASSERT_TRUE(watcher.waitFor(SteadyClock::now() - 1h, [](const Json&) { return true; }));
    // Lines keep coming while nothing changes; how many a second is the benchmark's to measure.
    ASSERT_TRUE(veltrane::testing::eventually([&] { return watcher.lines().size() >= 30; }, 20s));
    const auto lines = watcher.lines();
    const double seconds = std::chrono::duration<double>(lines.back().at - lines.front().at).count();
    const double rate = (static_cast<double>(lines.size()) - 1) / seconds;
    std::cout << "lines per second: " << rate << "\n";
    // Paced by its 70 ms timer, not a loop (a loaded machine can only lower this).
    EXPECT_LT(rate, 18);
    for (const auto& line : lines) ASSERT_TRUE(line.json.is_object());
    int withArtwork = 0;
    for (const auto& line : lines) withArtwork += line.json.contains("artwork");
    EXPECT_EQ(withArtwork, 1) << "the cover goes out once per track";

    struct Step {
        const char* command;
        std::function<bool(const Json&)> shows;
    };
    const std::string title = lines.back().json.value("title", "");
    const Step steps[] = {
        {"pause", [](const Json& j) { return j["playing"] == false && j["playbackRate"] == 0; }},
        {"position 20", [](const Json& j) { return std::abs(j["rawElapsed"].get<double>() - 20) <= 0.2; }},
        {"play", [](const Json& j) { return j["playing"] == true && j["playbackRate"] == 1; }},
        {"next", [title](const Json& j) { return j.value("title", "") != title; }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.command);
        playerctl(step.command);
        const auto after = SteadyClock::now();
        const auto shown = watcher.waitFor(after, step.shows);
        ASSERT_TRUE(shown);
        if (std::string(step.command) == "next") {
            // The player may announce the cover a moment after the title; it still goes out for the new track.
            EXPECT_TRUE(watcher.waitFor(after, [&title](const Json& j) {
                return j.value("title", "") != title && j.contains("artwork");
            })) << "the new track's cover";
        }
        std::cout << step.command << " shown after "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(shown->at - after).count() << " ms\n";
    }
    EXPECT_EQ(watcher.standardError(), "");
}

TEST_F(MirabeckProgram, WatchEndsWhenItsReaderGoes) {
    const auto dir = folder_->path().string();
    const auto result = sh("( '" + kMirabeck + "' --watch & echo $! > '" + dir + "/pid'; wait ) | head -3", 20);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(std::count(result.stdout.begin(), result.stdout.end(), '\n'), 3);
    // The subshell waited for mirabeck, so it has ended by now.
    const auto pid = std::stoi(veltrane::testing::readFile(dir + "/pid"));
    std::this_thread::sleep_for(1s);
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST_F(MirabeckProgram, APlayingPlayerWinsOverAPausedOne) {
    playerctl("pause");
    ASSERT_TRUE(veltrane::testing::eventually([] { return playerctl("status") == "Paused"; }));
    veltrane::testing::TempDirectory logs;
    ASSERT_TRUE(bus_->startMock(
        {"--session", "org.mpris.MediaPlayer2.mockplayer", "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player"},
        "org.mpris.MediaPlayer2.mockplayer", logs.path() / "mock.log"));
    const auto added = sh("busctl --address='" + bus_->address() +
                          "' call org.mpris.MediaPlayer2.mockplayer /org/mpris/MediaPlayer2 "
                          "org.freedesktop.DBus.Mock AddProperties 'sa{sv}' org.mpris.MediaPlayer2.Player 4 "
                          "PlaybackStatus s Playing Rate d 1 Position x 5000000 "
                          "Metadata 'a{sv}' 3 xesam:title s 'Mock Song' xesam:artist as 2 Alpha Beta "
                          "mpris:length x 200000000");
    ASSERT_EQ(added.status, 0) << added.stderr;
    const Json line = oneShot();
    EXPECT_EQ(line["title"], "Mock Song");
    EXPECT_EQ(line["artist"], "Alpha, Beta");
    EXPECT_EQ(line["playing"], true);
    EXPECT_EQ(line["bundleId"], "mockplayer");
    EXPECT_DOUBLE_EQ(line["duration"].get<double>(), 200);
    EXPECT_DOUBLE_EQ(line["rawElapsed"].get<double>(), 5);
}
