// The lyric clock end to end: mpv on a private session bus plays a track
// whose synchronised lyrics come from the lyric services' stand-in; a paired
// tablet's WebSocket receives "lyrics.clock" events, which must name the line
// an independent reading of the LRC gives at each event's playhead. Waits are
// for conditions with generous bounds; rates are the bench's business.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ControlDeckCore/shared/JSON.h"
#include "platform/process/ChildProcess.h"
#include "platform/process/Shell.h"
#include "tests/support/Eventually.h"
#include "tests/support/HostProcess.h"
#include "tests/support/LoopbackHTTP.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/LyricsStub.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane {
namespace {

using namespace std::chrono_literals;
using deck::Json;
using deck::JSON;
using testing::eventually;

constexpr auto kPatience = 30s;

process::ShellResult sh(const std::string& command, double timeout = 30) {
    return process::Shell::run("/bin/sh", {"-c", command}, timeout);
}

std::string playerctl(const std::string& arguments) {
    std::string out = sh("playerctl -p mpv " + arguments).stdout;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// A line every 3 s from 1 s on.
constexpr int kLines = 19;
double lineTime(int i) { return 1.0 + 3.0 * i; }
std::string lineText(int i) { return "Line " + std::to_string(i + 1); }

std::string lrc() {
    std::string text = "[ar:Alpha]\n[ti:Clock Song]\n";
    for (int i = 0; i < kLines; ++i) {
        const int centis = static_cast<int>(lineTime(i) * 100);
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%02d:%02d.%02d]", centis / 6000, centis / 100 % 60, centis % 100);
        text += stamp + lineText(i) + "\n";
    }
    return text;
}

// The line showing at `elapsed`, read from the times above: -1 before the
// first.
int expectedIndex(double elapsed) {
    int index = -1;
    for (int i = 0; i < kLines; ++i)
        if (lineTime(i) <= elapsed) index = i;
    return index;
}

// A paired tablet whose WebSocket reader keeps the "lyrics.clock" events.
class Tablet {
public:
    Tablet(std::uint16_t port, const std::string& code) {
        Json paired = data(testing::httpRequest(port, "POST", "/api/pairing/request",
                                                JSON::text(Json{{"code", code}, {"deviceName", "Lyric Tab"}})));
        Json session = data(testing::httpRequest(
            port, "POST", "/api/session",
            JSON::text(Json{{"deviceId", paired["deviceId"]}, {"deviceToken", paired["deviceToken"]}})));
        socket_ = testing::LoopbackSocket::connect(port);
        socket_.sendAll("GET /ws?session=" + session["session"].get<std::string>() +
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
    std::vector<Json> ticks() {
        std::lock_guard lock(mutex_);
        return ticks_;
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
            if (message.value("type", "") == "event" && message.value("name", "") == "lyrics.clock") {
                std::lock_guard lock(mutex_);
                ticks_.push_back(message["payload"]);
            }
        }
    }

    testing::LoopbackSocket socket_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Json> ticks_;
};

void expectLineAtItsPlayhead(const Json& tick) {
    const double elapsed = tick["elapsed"];
    const int index = expectedIndex(elapsed);
    EXPECT_EQ(tick["index"], index) << tick;
    EXPECT_EQ(tick["current"], index < 0 ? std::string() : lineText(index)) << tick;
}

TEST(ControlDeckLyricClock, FollowsTheSynchronisedLinesOfTheTrackMpvPlays) {
    testing::TempDirectory folder;
    const std::string dir = folder.path().string();
    ASSERT_EQ(sh("ffmpeg -loglevel error -y -f lavfi -i sine=frequency=440:duration=60 -metadata title='Clock Song' "
                 "-metadata artist='Alpha' -metadata album='Demo' '" +
                     dir + "/song.mp3'",
                 60)
                  .status,
              0);

    std::string error;
    auto stub = testing::LyricsStub::start(error);
    ASSERT_TRUE(stub) << error;
    const Json record = {
        {"id", 1},          {"trackName", "Clock Song"}, {"artistName", "Alpha"},   {"albumName", "Demo"},
        {"duration", 60.0}, {"instrumental", false},     {"plainLyrics", "Line 1"}, {"syncedLyrics", lrc()}};
    ASSERT_TRUE(stub->setRoutes(Json::array({Json{{"path", "/api/get"}, {"json", record}},
                                             Json{{"path", "/api/search"}, {"json", Json::array({record})}}})));

    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.set("VELTRANE_LYRICS_ENDPOINTS", stub->endpointsJSON());
    auto mpv = process::ChildProcess::spawn(
        "/bin/sh",
        {"-c",
         "exec mpv --no-config --script=/usr/lib/mpv-mpris/mpris.so --ao=null --vo=null --no-video "
         "--loop-file=inf '" +
             dir + "/song.mp3' >/dev/null 2>&1"},
        error);
    ASSERT_TRUE(mpv) << error;
    ASSERT_TRUE(eventually([] { return playerctl("status") == "Playing"; }));

    const std::string data = (folder.path() / "data").string();
    const std::uint16_t port = testing::freeLoopbackPort();
    testing::HostProcess host(CONTROL_DECK_BINARY,
                              {"--loopback", "--auto-approve", "--port", std::to_string(port), "--data-dir", data});
    const auto line = host.waitForLine(std::regex("PAIRING_CODE [0-9]{6}"));
    ASSERT_TRUE(line) << host.out() << host.err();
    Tablet tablet(port, line->substr(std::string("PAIRING_CODE ").size()));

    // Playing: events keep coming, each naming the line at its playhead.
    ASSERT_TRUE(eventually([&] { return tablet.ticks().size() >= 30; }, kPatience)) << host.err();
    for (const Json& tick : tablet.ticks()) {
        SCOPED_TRACE(tick.dump());
        EXPECT_TRUE(tick["playing"].get<bool>());
        expectLineAtItsPlayhead(tick);
    }

    // Paused: the events stop (the pause itself brings one only when it
    // lands on another line), and none comes while nothing moves.
    playerctl("pause");
    ASSERT_TRUE(eventually(
        [&] {
            const std::size_t count = tablet.ticks().size();
            std::this_thread::sleep_for(300ms);
            return tablet.ticks().size() == count;
        },
        kPatience));
    const std::size_t settled = tablet.ticks().size();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(tablet.ticks().size(), settled);

    // A seek into another line brings exactly one event, for that line.
    const int before = tablet.ticks().back()["index"];
    const double target = lineTime((before + 5) % kLines) + 1.5;
    playerctl("position " + std::to_string(static_cast<int>(target * 10) / 10.0));
    ASSERT_TRUE(eventually([&] { return tablet.ticks().size() > settled; }, kPatience));
    std::this_thread::sleep_for(1s);
    const auto ticks = tablet.ticks();
    ASSERT_EQ(ticks.size(), settled + 1);
    EXPECT_FALSE(ticks.back()["playing"].get<bool>());
    EXPECT_EQ(ticks.back()["index"], expectedIndex(target));
    expectLineAtItsPlayhead(ticks.back());

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), std::optional<int>(0)) << host.err();
    mpv->sendSignal(SIGTERM);
    EXPECT_TRUE(eventually([&] { return !mpv->isRunning(); }));
}

}  // namespace
}  // namespace veltrane
