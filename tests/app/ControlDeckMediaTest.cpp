// The control-deck program with the host adapters following a real player:
// mpv with its MPRIS plugin on a private session bus, playerctl as the
// reader we compare with, a paired tablet with an open WebSocket (refreshes
// run only while one is connected). Every wait is for a condition with a
// generous bound; nothing here measures speed.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>

#include "ControlDeckCore/shared/JSON.h"
#include "platform/crypto/Crypto.h"
#include "platform/image/JPEGImage.h"
#include "platform/process/ChildProcess.h"
#include "platform/process/Shell.h"
#include "tests/support/Eventually.h"
#include "tests/support/HostProcess.h"
#include "tests/support/LoopbackHTTP.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/XvfbServer.h"

namespace veltrane {
namespace {

using namespace std::chrono_literals;
using deck::Json;
using deck::JSON;
using testing::eventually;
using testing::HostProcess;

constexpr auto kPatience = 30s;

process::ShellResult sh(const std::string& command, double timeout = 30) {
    return process::Shell::run("/bin/sh", {"-c", command}, timeout);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string playerctl(const std::string& arguments) { return trimmed(sh("playerctl -p mpv " + arguments).stdout); }

// A 90 s tone at `frequency` Hz tagged with `title` by "Tone Maker", as
// DIR/NAME.mp3; ffmpeg's exit status.
int makeTone(const std::string& dir, const char* name, const char* title, const char* frequency) {
    return sh(std::string("ffmpeg -loglevel error -y -f lavfi -i sine=frequency=") + frequency +
                  ":duration=90 -metadata title='" + title + "' -metadata artist='Tone Maker' '" + dir + "/" + name +
                  ".mp3'",
              60)
        .status;
}

// mpv with its MPRIS plugin, no output, looping `files` (quoted for the
// shell) with `loop` (--loop-playlist=inf or --loop-file=inf).
std::unique_ptr<process::ChildProcess> startMpv(const std::string& files, const char* loop, std::string& error) {
    return process::ChildProcess::spawn(
        "/bin/sh",
        {"-c",
         std::string("exec mpv --no-config --script=/usr/lib/mpv-mpris/mpris.so --ao=null --vo=null --no-video ") +
             loop + " " + files + " >/dev/null 2>&1"},
        error);
}

// The children of `parent` whose command name is `name`.
std::vector<pid_t> childrenNamed(pid_t parent, const std::string& name) {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z' && line.substr(open + 1, close - open - 1) == name)
            found.push_back(std::stoi(pid));
    }
    return found;
}

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// A paired tablet: a session token and an authenticated WebSocket whose
// text messages a reader thread collects.
class Tablet {
public:
    Tablet(std::uint16_t port, const std::string& code) : port_(port) {
        Json paired = data(testing::httpRequest(port, "POST", "/api/pairing/request",
                                                JSON::text(Json{{"code", code}, {"deviceName", "Media Tab"}})));
        Json session = data(testing::httpRequest(
            port, "POST", "/api/session",
            JSON::text(Json{{"deviceId", paired["deviceId"]}, {"deviceToken", paired["deviceToken"]}})));
        token_ = session["session"].get<std::string>();
        socket_ = testing::LoopbackSocket::connect(port);
        socket_.sendAll("GET /ws?session=" + token_ +
                        " HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        const auto head = socket_.readHead();
        EXPECT_TRUE(head && head->find(" 101 ") != std::string::npos) << head.value_or("");
        reader_ = std::thread([this] { readFrames(); });
    }
    ~Tablet() {
        stop_ = true;
        socket_.shutdownWrite();
        reader_.join();
    }

    // A command as the tablet sends it; the reply's HTTP status.
    int command(const Json& object) const {
        return testing::httpRequest(port_, "POST", "/api/command", JSON::text(object), testing::bearer(token_)).status;
    }
    Json media() const {
        return data(testing::httpRequest(port_, "GET", "/api/state", {}, testing::bearer(token_)))["media"];
    }
    // The media objects of every state push so far.
    std::vector<Json> pushedMedia() {
        std::lock_guard lock(mutex_);
        return pushed_;
    }
    // When the first push from the `from`-th on that satisfies `wanted`
    // arrived; none while no such push has.
    template <class Predicate>
    std::optional<std::chrono::steady_clock::time_point> arrivalOf(std::size_t from, Predicate wanted) {
        std::lock_guard lock(mutex_);
        for (auto i = from; i < pushed_.size(); ++i)
            if (wanted(pushed_[i])) return arrivals_[i];
        return std::nullopt;
    }

private:
    static Json data(const testing::HTTPReply& reply) { return JSON::parse(reply.body).value_or(Json())["data"]; }

    void readFrames() {
        while (!stop_) {
            auto head = socket_.readExactly(2, 1s);
            if (!head) {
                if (stop_) return;
                continue;
            }
            std::uint64_t length = static_cast<unsigned char>((*head)[1]) & 0x7F;
            if (length >= 126) {
                auto extended = socket_.readExactly(length == 126 ? 2 : 8);
                if (!extended) return;
                length = 0;
                for (char c : *extended) length = length << 8 | static_cast<unsigned char>(c);
            }
            auto payload = socket_.readExactly(length);
            if (!payload) return;
            if ((static_cast<unsigned char>((*head)[0]) & 0x0F) != 1) continue;
            Json message = JSON::parse(*payload).value_or(Json());
            if (message.value("type", "") == "state" && message["payload"].contains("media")) {
                std::lock_guard lock(mutex_);
                pushed_.push_back(message["payload"]["media"]);
                arrivals_.push_back(std::chrono::steady_clock::now());
            }
        }
    }

    std::uint16_t port_;
    std::string token_;
    testing::LoopbackSocket socket_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Json> pushed_;
    std::vector<std::chrono::steady_clock::time_point> arrivals_;
};

class ControlDeckMedia : public ::testing::Test {
protected:
    void SetUp() override {
        data_ = folder_.path() / "data";
        port_ = testing::freeLoopbackPort();
    }

    std::vector<std::string> hostArguments() const {
        return {"--loopback", "--auto-approve", "--port", std::to_string(port_), "--data-dir", data_.string()};
    }
    std::string pairingCode(HostProcess& host) {
        const auto line = host.waitForLine(std::regex("PAIRING_CODE [0-9]{6}"));
        EXPECT_TRUE(line) << host.out() << host.err();
        return line ? line->substr(std::string("PAIRING_CODE ").size()) : "";
    }

    testing::TempDirectory folder_;
    std::filesystem::path data_;
    std::uint16_t port_ = 0;
};

TEST_F(ControlDeckMedia, FollowsMpvOnThePrivateBus) {
    const std::string dir = folder_.path().string();
    for (const auto& [frequency, title, name] :
         {std::tuple{"440", "First Tone", "1"}, std::tuple{"660", "Second Tone", "2"}}) {
        ASSERT_EQ(sh(std::string("ffmpeg -loglevel error -y -f lavfi -i sine=frequency=") + frequency +
                         ":duration=90 -metadata title='" + title +
                         "' -metadata artist='Tone Maker' "
                         "-metadata album='Generated Album' '" +
                         dir + "/" + name + ".mp3'",
                     60)
                      .status,
                  0);
    }
    ASSERT_EQ(sh("ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=2400x1600,noise=alls=60:allf=t -frames:v 1 "
                 "-q:v 2 '" +
                     dir + "/cover.jpg'",
                 60)
                  .status,
              0);

    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    // The tracks' lyrics are not looked up on the web: licensed content.
    std::ofstream(dir + "/Info.json") << R"({"VeltraneLicensedMusicContent": true})";
    environment.set("VELTRANE_INFO_FILE", dir + "/Info.json");
    auto mpv = process::ChildProcess::spawn(
        "/bin/sh",
        {"-c",
         "exec mpv --no-config --script=/usr/lib/mpv-mpris/mpris.so --ao=null --vo=null --no-video "
         "--loop-playlist=inf '" +
             dir + "/1.mp3' '" + dir + "/2.mp3' >/dev/null 2>&1"},
        error);
    ASSERT_TRUE(mpv) << error;
    ASSERT_TRUE(
        eventually([] { return playerctl("status") == "Playing" && !playerctl("metadata xesam:album").empty(); }));

    HostProcess host(CONTROL_DECK_BINARY, hostArguments());
    Tablet tablet(port_, pairingCode(host));

    // What plays, as playerctl reads it.
    const double length = std::stod(playerctl("metadata mpris:length")) / 1e6;
    ASSERT_TRUE(eventually(
        [&] {
            const Json media = tablet.media();
            // A reading can come before the player's application is known, without its source.
            return media["title"] == playerctl("metadata xesam:title") && media.contains("artwork") &&
                   media["playing"] == true && media["source"] == "mpv";
        },
        kPatience))
        << tablet.media() << host.err();
    Json media = tablet.media();
    EXPECT_EQ(media["artist"], playerctl("metadata xesam:artist"));
    EXPECT_EQ(media["album"], playerctl("metadata xesam:album"));
    EXPECT_EQ(media["source"], "mpv");
    EXPECT_NEAR(media["duration"].get<double>(), length, 0.01);
    EXPECT_TRUE(media["elapsedKnown"].get<bool>());
    EXPECT_TRUE(eventually(
        [&] { return std::fabs(tablet.media()["elapsed"].get<double>() - std::stod(playerctl("position"))) < 0.5; },
        kPatience));
    const std::string artwork = media["artwork"];
    const std::string prefix = "data:image/jpeg;base64,";
    ASSERT_EQ(artwork.rfind(prefix, 0), 0u);
    const auto jpeg = crypto::base64Decoded(artwork.substr(prefix.size()));
    ASSERT_TRUE(jpeg);
    EXPECT_LE(jpeg->size(), 220'000u);
    const auto size = image::JPEGImage::size(*jpeg);
    ASSERT_TRUE(size);
    EXPECT_LE(size->width, 600);
    EXPECT_LE(size->height, 600);

    // Paused: the playhead stands still.
    playerctl("pause");
    ASSERT_TRUE(eventually([&] { return tablet.media()["playing"] == false; }, kPatience));
    const double frozen = tablet.media()["elapsed"];
    std::this_thread::sleep_for(1s);
    EXPECT_NEAR(tablet.media()["elapsed"].get<double>(), frozen, 0.05);

    // A seek while paused.
    playerctl("position 20");
    EXPECT_TRUE(eventually([&] { return std::fabs(tablet.media()["elapsed"].get<double>() - 20) < 0.5; }, kPatience))
        << tablet.media();

    // The next track shows, and is pushed to the tablet.
    playerctl("play");
    playerctl("next");
    // Between tracks the player may briefly name none, or the file: wait
    // for the next track's own title.
    const std::string second = "Second Tone";
    ASSERT_TRUE(eventually([&] { return playerctl("metadata xesam:title") == second; }, kPatience))
        << playerctl("metadata xesam:title");
    EXPECT_TRUE(eventually([&] { return tablet.media()["title"] == second; }, kPatience)) << tablet.media();
    EXPECT_TRUE(eventually(
        [&] {
            for (const Json& pushed : tablet.pushedMedia())
                if (pushed["title"] == second) return true;
            return false;
        },
        kPatience));

    // The watcher is the host's child; killed, it comes back.
    std::vector<pid_t> watchers;
    ASSERT_TRUE(eventually([&] { return (watchers = childrenNamed(host.pid(), "mirabeck")).size() == 1; }));
    ::kill(watchers[0], SIGKILL);
    EXPECT_TRUE(eventually(
        [&] {
            auto now = childrenNamed(host.pid(), "mirabeck");
            return now.size() == 1 && now[0] != watchers[0];
        },
        kPatience));

    // The player quits: nothing plays.
    mpv->sendSignal(SIGTERM);
    ASSERT_TRUE(eventually([&] { return !mpv->isRunning(); }));
    EXPECT_TRUE(eventually([&] { return tablet.media()["title"].is_null(); }, kPatience)) << tablet.media();

    // The host stops, and no watcher of it is left.
    const auto last = childrenNamed(host.pid(), "mirabeck");
    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    for (pid_t pid : last) EXPECT_TRUE(eventually([&] { return !alive(pid); }, kPatience)) << pid;
}

TEST_F(ControlDeckMedia, CommandsReachMpv) {
    const std::string dir = folder_.path().string();
    ASSERT_EQ(makeTone(dir, "1", "First Tone", "440"), 0);
    ASSERT_EQ(makeTone(dir, "2", "Second Tone", "660"), 0);
    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.unset("DISPLAY");
    auto mpv = startMpv("'" + dir + "/1.mp3' '" + dir + "/2.mp3'", "--loop-playlist=inf", error);
    ASSERT_TRUE(mpv) << error;
    ASSERT_TRUE(eventually([] { return playerctl("status") == "Playing"; }));

    HostProcess host(CONTROL_DECK_BINARY, hostArguments());
    Tablet tablet(port_, pairingCode(host));
    ASSERT_TRUE(eventually([&] { return tablet.media()["title"] == playerctl("metadata xesam:title"); }, kPatience))
        << tablet.media() << host.err();

    EXPECT_EQ(tablet.command({{"type", "media_play_pause"}}), 200);
    EXPECT_TRUE(eventually([] { return playerctl("status") == "Paused"; }, kPatience));
    EXPECT_EQ(tablet.command({{"type", "media_play_pause"}}), 200);
    EXPECT_TRUE(eventually([] { return playerctl("status") == "Playing"; }, kPatience));

    for (const char* type : {"media_next", "media_previous"}) {
        const std::string before = playerctl("metadata xesam:title");
        ASSERT_FALSE(before.empty());
        EXPECT_EQ(tablet.command({{"type", type}}), 200);
        EXPECT_TRUE(eventually(
            [&] {
                const std::string now = playerctl("metadata xesam:title");
                return !now.empty() && now != before;
            },
            kPatience))
            << type;
    }

    // A seek shows at once and the playhead never runs back afterwards;
    // the track change's own pushes are over first.
    ASSERT_TRUE(eventually([&] { return tablet.media()["title"] == playerctl("metadata xesam:title"); }, kPatience));
    std::this_thread::sleep_for(1s);
    const auto pushedBefore = tablet.pushedMedia().size();
    EXPECT_EQ(tablet.command({{"type", "media_seek"}, {"position", 20}}), 200);
    // A push already on its way may come first; the seek's own follows.
    EXPECT_TRUE(eventually(
        [&] {
            const auto pushed = tablet.pushedMedia();
            for (auto i = pushedBefore; i < pushed.size(); ++i)
                if (std::fabs(pushed[i]["elapsed"].get<double>() - 20) < 0.1 && pushed[i]["elapsedKnown"] == true)
                    return true;
            return false;
        },
        kPatience));
    EXPECT_TRUE(eventually([] { return std::fabs(std::stod(playerctl("position")) - 20) < 0.5; }, kPatience))
        << playerctl("position");
    double previous = tablet.media()["elapsed"];
    for (int sample = 0; sample < 20; ++sample) {
        std::this_thread::sleep_for(100ms);
        const double elapsed = tablet.media()["elapsed"];
        EXPECT_GE(elapsed, previous - 0.05) << sample;
        previous = elapsed;
    }

    // mpv keeps no like state: none is shown and the button stays off.
    EXPECT_EQ(tablet.command({{"type", "media_like"}, {"liked", true}}), 200);
    std::this_thread::sleep_for(1s);
    const Json media = tablet.media();
    EXPECT_FALSE(media.contains("liked")) << media;
    EXPECT_FALSE(media["likeSupported"].get<bool>()) << media;

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    mpv->sendSignal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return !mpv->isRunning(); }));
}

// A mock player records what it was asked: the transport methods by name,
// the seek by its track id and microseconds.
TEST_F(ControlDeckMedia, CommandsReachAMockPlayer) {
    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.unset("DISPLAY");
    const auto templatePath = folder_.path() / "mock_player.py";
    std::ofstream(templatePath) << R"(import dbus
BUS_NAME = 'org.mpris.MediaPlayer2.Mock'
MAIN_OBJ = '/org/mpris/MediaPlayer2'
MAIN_IFACE = 'org.mpris.MediaPlayer2.Player'
SYSTEM_BUS = False
def load(mock, parameters):
    mock.AddProperties('org.mpris.MediaPlayer2', {'Identity': 'Mock', 'DesktopEntry': 'mock'})
    mock.AddProperties(MAIN_IFACE, {
        'PlaybackStatus': 'Playing', 'Rate': 1.0, 'Position': dbus.Int64(5000000),
        'Metadata': dbus.Dictionary({'mpris:trackid': dbus.ObjectPath('/t/1'), 'xesam:title': 'Mock',
                                     'xesam:artist': dbus.Array(['Maker'], signature='s'),
                                     'mpris:length': dbus.Int64(90000000)}, signature='sv')})
    mock.AddMethods(MAIN_IFACE, [(name, '', '', '') for name in
                                 ('Play', 'Pause', 'PlayPause', 'Stop', 'Next', 'Previous')] +
                                [('SetPosition', 'ox', '', ''), ('Seek', 'x', '', '')])
)";
    auto mock = process::ChildProcess::spawn("/usr/bin/python3",
                                             {"-m", "dbusmock", "--template", templatePath.string()}, error);
    ASSERT_TRUE(mock) << error;
    const std::string dbus =
        "dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2.Mock "
        "/org/mpris/MediaPlayer2 ";
    ASSERT_TRUE(eventually([&] { return sh(dbus + "org.freedesktop.DBus.Mock.GetCalls").status == 0; }));

    HostProcess host(CONTROL_DECK_BINARY, hostArguments());
    Tablet tablet(port_, pairingCode(host));
    ASSERT_TRUE(eventually([&] { return tablet.media()["title"] == "Mock"; }, kPatience))
        << tablet.media() << host.err();
    for (const char* type : {"media_play_pause", "media_next", "media_previous"})
        EXPECT_EQ(tablet.command({{"type", type}}), 200);
    EXPECT_EQ(tablet.command({{"type", "media_seek"}, {"position", 20}}), 200);

    std::string calls;
    EXPECT_TRUE(eventually(
        [&] {
            calls = sh(dbus + "org.freedesktop.DBus.Mock.GetCalls").stdout;
            return calls.find("SetPosition") != std::string::npos;
        },
        kPatience))
        << calls;
    std::vector<std::string> methods;
    for (const char* method : {"\"PlayPause\"", "\"Next\"", "\"Previous\"", "\"SetPosition\""})
        if (calls.find(method) != std::string::npos) methods.push_back(method);
    EXPECT_EQ(methods.size(), 4u) << calls;
    EXPECT_LT(calls.find("\"PlayPause\""), calls.find("\"Next\"")) << calls;
    EXPECT_LT(calls.find("\"Next\""), calls.find("\"Previous\"")) << calls;
    const auto seek = calls.substr(calls.find("\"SetPosition\""));
    EXPECT_NE(seek.find("object path \"/t/1\""), std::string::npos) << seek;
    EXPECT_NE(seek.find("int64 20000000"), std::string::npos) << seek;

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    mock->sendSignal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return !mock->isRunning(); }));
}

// A pause or play made outside the deck reaches the tablet as a state push
// as soon as the player announces it. The measured delays are printed; the
// bound asserted is only the test's patience (the watcher's own ticks would
// deliver within a tenth of a second too, so no timing tells the paths apart).
TEST_F(ControlDeckMedia, APlayerChangeIsPushedAtOnce) {
    const std::string dir = folder_.path().string();
    ASSERT_EQ(makeTone(dir, "1", "Tone", "440"), 0);
    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.unset("DISPLAY");
    auto mpv = startMpv("'" + dir + "/1.mp3'", "--loop-file=inf", error);
    ASSERT_TRUE(mpv) << error;
    ASSERT_TRUE(eventually([] { return playerctl("status") == "Playing"; }));

    HostProcess host(CONTROL_DECK_BINARY, hostArguments());
    Tablet tablet(port_, pairingCode(host));
    ASSERT_TRUE(
        eventually([&] { return tablet.media()["title"] == "Tone" && tablet.media()["playing"] == true; }, kPatience))
        << tablet.media() << host.err();

    // From playerctl's start (its own start-up included) and from its end
    // (the player has changed by then; a push may even come first).
    std::vector<double> delays, afterReturn;
    for (int round = 0; round < 10; ++round) {
        const bool pause = round % 2 == 0;
        // Whatever the last change pushed is over before the next one.
        std::this_thread::sleep_for(300ms);
        const auto from = tablet.pushedMedia().size();
        const auto sent = std::chrono::steady_clock::now();
        playerctl(pause ? "pause" : "play");
        const auto returned = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> arrived;
        EXPECT_TRUE(eventually(
            [&] {
                arrived = tablet.arrivalOf(from, [&](const Json& media) { return media["playing"] == !pause; });
                return arrived.has_value();
            },
            kPatience))
            << (pause ? "pause" : "play") << " " << round;
        if (!arrived) continue;
        delays.push_back(std::chrono::duration<double, std::milli>(*arrived - sent).count());
        afterReturn.push_back(std::chrono::duration<double, std::milli>(*arrived - returned).count());
    }
    ASSERT_FALSE(delays.empty());
    std::sort(delays.begin(), delays.end());
    std::sort(afterReturn.begin(), afterReturn.end());
    std::printf(
        "playerctl pause/play to state push, ms: from its start median %.1f max %.1f; "
        "from its return median %.1f max %.1f\n",
        delays[delays.size() / 2], delays.back(), afterReturn[afterReturn.size() / 2], afterReturn.back());

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    mpv->sendSignal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return !mpv->isRunning(); }));
}

// With no player to take them, the transport commands become media keys
// pressed and released on the display, as a program watching the root
// window sees them.
TEST_F(ControlDeckMedia, WithoutAPlayerCommandsPressMediaKeys) {
    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    auto xvfb = testing::XvfbServer::start(320, 240, error);
    ASSERT_TRUE(xvfb) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.set("DISPLAY", xvfb->display());
    auto xev = process::ChildProcess::spawn("/usr/bin/stdbuf", {"-oL", "xev", "-root", "-event", "keyboard"}, error);
    ASSERT_TRUE(xev) << error;
    std::string seen;
    auto read = [&] {
        xev->pump(50ms, [&](process::ChildProcess::Stream stream, const char* data, std::size_t size) {
            if (stream == process::ChildProcess::Stream::out) seen.append(data, size);
        });
    };
    // xev listens once a key of our own shows.
    ASSERT_TRUE(eventually([&] {
        sh("xdotool key F1");
        read();
        return seen.find("F1)") != std::string::npos;
    })) << seen;

    HostProcess host(CONTROL_DECK_BINARY, hostArguments());
    Tablet tablet(port_, pairingCode(host));
    for (const char* type : {"media_play_pause", "media_next", "media_previous"})
        EXPECT_EQ(tablet.command({{"type", type}}), 200) << type;

    // The events of xev's report, as "KeyPress XF86AudioPlay" and so on.
    auto events = [&] {
        std::vector<std::string> found;
        std::istringstream lines(seen);
        std::string line, kind;
        while (std::getline(lines, line)) {
            if (line.rfind("KeyPress event", 0) == 0 || line.rfind("KeyRelease event", 0) == 0)
                kind = line.substr(0, line.find(' '));
            const auto keysym = line.find("(keysym ");
            if (keysym == std::string::npos || kind.empty()) continue;
            const auto name = line.find(", ", keysym) + 2;
            const std::string key = line.substr(name, line.find(')', name) - name);
            if (key.rfind("XF86Audio", 0) == 0) found.push_back(kind + " " + key);
            kind.clear();
        }
        return found;
    };
    const std::vector<std::string> expected = {"KeyPress XF86AudioPlay", "KeyRelease XF86AudioPlay",
                                               "KeyPress XF86AudioNext", "KeyRelease XF86AudioNext",
                                               "KeyPress XF86AudioPrev", "KeyRelease XF86AudioPrev"};
    EXPECT_TRUE(eventually(
        [&] {
            read();
            return events().size() >= expected.size();
        },
        kPatience))
        << seen;
    EXPECT_EQ(events(), expected) << seen;

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    xev->sendSignal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return !xev->isRunning(); }));
}

TEST_F(ControlDeckMedia, RunsWithoutASessionBus) {
    testing::ScopedEnvironment environment;
    environment.unset("DBUS_SESSION_BUS_ADDRESS");
    environment.set("XDG_RUNTIME_DIR", folder_.path().string());
    HostProcess host(CONTROL_DECK_BINARY, hostArguments());
    Tablet tablet(port_, pairingCode(host));
    // Refreshes run and find nothing to read.
    ASSERT_TRUE(eventually([&] { return host.err().find("[deck] MediaRemote symbols missing") != std::string::npos; },
                           kPatience));
    const Json media = tablet.media();
    EXPECT_TRUE(media["title"].is_null()) << media;
    EXPECT_FALSE(media["playing"].get<bool>());
    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
}

}  // namespace
}  // namespace veltrane
