// The media adapter with scriptable players on fakes: a script host that
// answers only the exact texts below, a list of running players, an injected
// clock. The native identity check is fed through the adapter's own
// player-query seam.
#include <gtest/gtest.h>

#include <signal.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "platform/process/ChildProcess.h"
#include "platform/process/Shell.h"
#include "platform/script/FakeScriptHost.h"
#include "tests/support/Eventually.h"
#include "tests/support/LastCopy.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::deck {
namespace {

using namespace std::chrono_literals;
using Snapshot = MacMediaAdapter::Snapshot;

constexpr const char* kMusic = "com.apple.Music";
constexpr const char* kSpotify = "com.spotify.client";
constexpr double kReference = media::MediaRemoteNowPlaying::kReferenceDateSince1970;

const std::string kMusicQuery = R"(tell application "Music"
  if player state is stopped then return ""
  set t to current track
  set idBefore to persistent ID of t
  set n to name of t
  set a to artist of t
  set al to ""
  try
    set al to album of t
  end try
  set d to duration of t
  set p to player position
  set playerState to player state as string
  set fav to "unknown"
  try
    set fav to favorited of t as string
  on error
    try
      set fav to loved of t as string
    end try
  end try
  set idAfter to persistent ID of current track
  if idAfter is not idBefore then return ""
  return n & tab & a & tab & al & tab & d & tab & p & tab & playerState & tab & fav
end tell)";

const std::string kSpotifyQuery = R"(tell application "Spotify"
  if player state is stopped then return ""
  set t to current track
  set idBefore to id of t as text
  set n to name of t as text
  set a to artist of t as text
  set al to ""
  try
    set al to album of t as text
  end try
  set d to duration of t
  set p to player position
  set playerState to player state as text
  set idAfter to id of current track as text
  if idAfter is not idBefore then return ""
  return n & tab & a & tab & al & tab & d & tab & p & tab & playerState
end tell)";

std::string musicLiked(const char* value) {
    return std::string(R"(tell application "Music"
  if player state is stopped then return "no"
  try
    set favorited of current track to )") +
           value + R"(
    return "ok"
  on error
    try
      set loved of current track to )" +
           value + R"(
      return "ok"
    on error
      return "no"
    end try
  end try
end tell)";
}

std::string menuClick(const std::string& process, const std::string& menu, const std::string& item) {
    return R"(tell application "System Events"
  if not (exists process ")" +
           process + R"(") then return "no"
  tell process ")" +
           process + R"("
    try
      click menu item ")" +
           item + R"(" of menu ")" + menu + R"(" of menu bar item ")" + menu + R"(" of menu bar 1
      return "ok"
    end try
  end tell
  return "no"
end tell)";
}

script::ScriptOutcome answer(std::string output) { return {std::move(output), {}}; }
script::ScriptOutcome failure(std::string error, bool timedOut = false) {
    return {std::nullopt, std::move(error), timedOut};
}

// The fake host, safe to share with the clock's query thread.
class Scripts final : public script::ScriptHost {
public:
    script::ScriptOutcome run(std::string_view script, std::chrono::milliseconds timeout) override {
        std::lock_guard lock(mutex_);
        timeouts_.push_back(timeout);
        return fake_.run(script, timeout);
    }
    void answer(const std::string& script, script::ScriptOutcome outcome) {
        std::lock_guard lock(mutex_);
        fake_.answers[script] = std::move(outcome);
    }
    std::vector<std::string> ran() const {
        std::lock_guard lock(mutex_);
        return fake_.ran;
    }
    // What commands ran: the queries of the refresh that follows a command
    // are left out.
    std::vector<std::string> commands() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> ran;
        for (const auto& script : fake_.ran)
            if (script != queries_[0] && script != queries_[1]) ran.push_back(script);
        return ran;
    }
    std::vector<std::chrono::milliseconds> timeouts() const {
        std::lock_guard lock(mutex_);
        return timeouts_;
    }
    void forget() {
        std::lock_guard lock(mutex_);
        fake_.ran.clear();
        timeouts_.clear();
    }

private:
    mutable std::mutex mutex_;
    const std::string queries_[2] = {kMusicQuery, kSpotifyQuery};
    script::FakeScriptHost fake_;
    std::vector<std::chrono::milliseconds> timeouts_;
};

// Answers the player queries instead of scripts.
using NativeQuery = std::function<std::optional<Snapshot>(const std::string&)>;

class Rig {
public:
    explicit Rig(std::set<std::string> running = {}, bool observers = false, const NativeQuery& native = {})
        : scripts(std::make_shared<Scripts>()), running_(std::move(running)) {
        MacMediaAdapter::Environment environment;
        environment.clock = [this, token = lastCopy_.token()] {
            std::lock_guard lock(mutex_);
            return now_;
        };
        environment.fetch = [](media::MediaRemoteNowPlaying::FetchDone) {};
        environment.bundleRunning = [this](const std::string& bundleId) {
            std::lock_guard lock(mutex_);
            return running_.count(bundleId) > 0;
        };
        environment.helperURL = [] { return std::optional<std::string>(); };
        environment.lyricsFetch = [](auto&&...) {};
        environment.scripts = scripts;
        adapter = MacMediaAdapter::create(observers, std::move(environment));
        if (native) adapter->sync([&] { adapter->nativeScriptableSnapshot = native; });
        adapter->setOnChange([this] {
            std::lock_guard lock(mutex_);
            ++changes_;
        });
    }
    ~Rig() {
        adapter->setOnChange({});
        adapter.reset();
        // The adapter's last use of this rig is ordered before the rig goes.
        EXPECT_TRUE(lastCopy_.waitGone());
    }

    double now() const {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double>(now_.time_since_epoch()).count() - kReference;
    }
    int changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    void apply(const std::optional<Snapshot>& s, bool allowNativeReconcile = false) {
        adapter->sync([&] { adapter->apply(s, std::nullopt, false, allowNativeReconcile); });
    }
    void line(const std::string& json) {
        adapter->sync([&] { adapter->ingestHelperLine(json); });
    }
    // Work queued by the adapter on its queues has run, twice over: the
    // identity check hops to the player-query queue and back.
    void settle() {
        for (int i = 0; i < 3; ++i) {
            adapter->sync([] {});
            std::this_thread::sleep_for(20ms);
        }
    }
    void refresh() {
        adapter->refresh();
        adapter->sync([] {});
    }
    Snapshot reading(const char* title, const char* bundleId, bool playing = true, double elapsed = 10) const {
        Snapshot s;
        s.title = title;
        s.artist = "Artist";
        s.album = "Album";
        s.bundleId = bundleId;
        const std::string id = bundleId ? bundleId : "";
        s.source = id == kMusic ? "Music" : id == kSpotify ? "Spotify" : "Player";
        s.isPlaying = playing;
        s.playbackRate = playing ? 1 : 0;
        s.duration = 200;
        s.elapsed = elapsed;
        s.elapsedKnown = true;
        s.capturedAt = now();
        return s;
    }

    std::shared_ptr<Scripts> scripts;
    std::shared_ptr<MacMediaAdapter> adapter;

private:
    mutable std::mutex mutex_;
    Date now_ = std::chrono::system_clock::now();
    std::set<std::string> running_;
    testing::LastCopy lastCopy_;
    int changes_ = 0;
};

// Which players a query asks, by the player that is shown and what the
// shown one answers. A refresh without a watcher runs the query in place.
TEST(MacMediaAdapterScriptable, QueriesAskTheShownPlayerFirst) {
    const std::string musicPlaying = "Song\tArtist\tAlbum\t215.5\t12.25\tplaying\ttrue";
    const std::string musicPaused = "Song\tArtist\tAlbum\t215.5\t12.25\tpaused\tfalse";
    const std::string spotifyPlaying = "Track\tBand\tRecord\t180000\t3.5\tplaying";
    const std::string spotifyPaused = "Track\tBand\tRecord\t180000\t3.5\tpaused";
    struct Case {
        const char* name;
        std::set<std::string> running;
        const char* shown;
        std::string musicReply, spotifyReply;
        std::vector<std::string> asked;
        std::optional<std::string> title;  // published afterwards
    };
    const Case cases[] = {
        {"Music shown and playing", {kMusic, kSpotify}, kMusic, musicPlaying, spotifyPlaying, {kMusicQuery}, "Song"},
        {"Music shown and paused",
         {kMusic, kSpotify},
         kMusic,
         musicPaused,
         spotifyPlaying,
         {kMusicQuery, kSpotifyQuery},
         "Track"},
        {"Spotify shown and playing",
         {kMusic, kSpotify},
         kSpotify,
         musicPlaying,
         spotifyPlaying,
         {kSpotifyQuery},
         "Track"},
        {"Spotify shown and paused",
         {kMusic, kSpotify},
         kSpotify,
         musicPlaying,
         spotifyPaused,
         {kSpotifyQuery, kMusicQuery},
         "Song"},
        {"nothing shown",
         {kMusic, kSpotify},
         nullptr,
         musicPaused,
         spotifyPlaying,
         {kMusicQuery, kSpotifyQuery},
         "Track"},
        {"only Spotify runs", {kSpotify}, nullptr, musicPlaying, spotifyPlaying, {kSpotifyQuery}, "Track"},
        {"neither runs", {}, nullptr, musicPlaying, spotifyPlaying, {}, std::nullopt},
        {"Music shown but not running", {kSpotify}, kMusic, musicPlaying, spotifyPaused, {kSpotifyQuery}, "Shown"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.running);
        rig.scripts->answer(kMusicQuery, answer(c.musicReply));
        rig.scripts->answer(kSpotifyQuery, answer(c.spotifyReply));
        if (c.shown) rig.apply(rig.reading("Shown", c.shown, false));
        rig.refresh();
        EXPECT_EQ(rig.scripts->ran(), c.asked);
        EXPECT_EQ(rig.adapter->title(), c.title);
    }
}

TEST(MacMediaAdapterScriptable, QueryTimeoutsAndTheReadingTaken) {
    Rig rig({kMusic, kSpotify});
    rig.scripts->answer(kMusicQuery, answer("Song\tArtist\t\t215.5\t12.25\tpaused\ttrue"));
    rig.scripts->answer(kSpotifyQuery, answer("Track\tBand\tRecord\t180000\t3.5\tplaying"));
    rig.refresh();
    EXPECT_EQ(rig.scripts->timeouts(), (std::vector<std::chrono::milliseconds>{1200ms, 2000ms}));
    EXPECT_EQ(rig.adapter->title(), "Track");
    EXPECT_EQ(rig.adapter->bundleId(), kSpotify);
    EXPECT_EQ(rig.adapter->source(), "Spotify");
    EXPECT_DOUBLE_EQ(rig.adapter->duration(), 180.0);
    EXPECT_TRUE(rig.adapter->isPlaying());
}

// The Music script answers empty when the track changed under it; it is
// asked again only when a track is shown.
TEST(MacMediaAdapterScriptable, EmptyMusicAnswerIsAskedOnceMore) {
    for (const bool shown : {false, true}) {
        SCOPED_TRACE(shown ? "a track is shown" : "nothing shown");
        Rig rig({kMusic});
        rig.scripts->answer(kMusicQuery, answer(""));
        if (shown) rig.apply(rig.reading("Shown", kMusic, false));
        rig.refresh();
        EXPECT_EQ(rig.scripts->ran().size(), shown ? 2u : 1u);
    }
}

// A refusal of automation stops the queries of that player for good; a
// time-out or another error does not.
TEST(MacMediaAdapterScriptable, RefusedPlayerIsNotAskedAgain) {
    struct Case {
        const char* name;
        script::ScriptOutcome outcome;
        bool stopsAsking;
    };
    const Case cases[] = {
        {"refused", failure("execution error: Not authorized to send Apple events to Music. (-1743)"), true},
        {"refused, other wording", failure("osascript: NOT ALLOWED to send Apple events"), true},
        {"timed out", failure("Not authorized to send Apple events to Music. (-1743)", true), false},
        {"other error", failure("execution error: Music got an error: Can't get current track. (-1728)"), false},
    };
    for (const auto& c : cases) {
        for (const char* player : {kMusic, kSpotify}) {
            SCOPED_TRACE(std::string(c.name) + " " + player);
            Rig rig({player});
            const std::string& query = player == std::string(kMusic) ? kMusicQuery : kSpotifyQuery;
            rig.scripts->answer(query, c.outcome);
            rig.refresh();
            rig.refresh();
            EXPECT_EQ(rig.scripts->ran().size(), c.stopsAsking ? 1u : 2u);
        }
    }
}

// The clock polls while a scriptable player runs and applies the playing
// reading; a refusing player is asked once and then left alone.
TEST(MacMediaAdapterScriptable, ClockPollsRunningPlayers) {
    {
        Rig rig({kMusic}, true);
        rig.scripts->answer(kMusicQuery, answer("Song\tArtist\tAlbum\t215.5\t12.25\tplaying\tunknown"));
        ASSERT_TRUE(testing::eventually([&] { return rig.adapter->title() == "Song"; }));
        EXPECT_TRUE(rig.adapter->isPlaying());
        EXPECT_TRUE(rig.adapter->elapsedKnown());
        EXPECT_EQ(rig.adapter->bundleId(), kMusic);
        ASSERT_TRUE(testing::eventually([&] { return rig.scripts->ran().size() >= 3; })) << "it keeps polling";
        for (const auto& script : rig.scripts->ran()) EXPECT_EQ(script, kMusicQuery);
    }
    {
        Rig rig({kSpotify}, true);
        rig.scripts->answer(kSpotifyQuery, failure("Not authorized to send Apple events to Spotify. (-1743)"));
        ASSERT_TRUE(testing::eventually([&] { return rig.scripts->ran().size() == 1; }));
        // Several periods of the clock: still only the one run.
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(rig.scripts->ran().size(), 1u);
        bool canQuery = true;
        rig.adapter->sync([&] { canQuery = rig.adapter->canQueryNative(kSpotify); });
        EXPECT_FALSE(canQuery);
    }
}

// Which scriptable reading the merge takes.
TEST(MacMediaAdapterScriptable, PausedReadingsOnlyFromTheShownPlayer) {
    struct Case {
        const char* name;
        const char* shown;
        std::string musicReply;
        bool taken;
    };
    const Case cases[] = {
        {"Music shown, Music paused", kMusic, "Song\tArtist\tAlbum\t215.5\t30\tpaused\tunknown", true},
        {"Spotify shown, Music paused", kSpotify, "Song\tArtist\tAlbum\t215.5\t30\tpaused\tunknown", false},
        {"Spotify shown, Music playing", kSpotify, "Song\tArtist\tAlbum\t215.5\t30\tplaying\tunknown", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig({kMusic}, true);
        rig.scripts->answer(kMusicQuery, answer(c.musicReply));
        rig.apply(rig.reading("Shown", c.shown, false));
        // Two queries begun after the reading: the first one's answer has
        // been merged.
        rig.scripts->forget();
        ASSERT_TRUE(testing::eventually([&] { return rig.scripts->ran().size() >= 2; }));
        rig.settle();
        EXPECT_EQ(rig.adapter->title(), c.taken ? "Song" : "Shown");
    }
}

// Like: the player's own channel first; the like shows only when a channel
// accepted it.
TEST(MacMediaAdapterScriptable, LikeChannels) {
    const std::vector<std::string> qqUnlike = {"取消喜欢", "Unlove", "Unlike", "喜欢歌曲", "Love", "Like"};
    struct Case {
        const char* name;
        const char* shown;
        bool running;
        std::optional<bool> requested;
        std::vector<std::pair<std::string, script::ScriptOutcome>> answers;
        std::vector<std::string> asked;
        std::optional<bool> liked;
    };
    std::vector<std::string> qqTried;
    for (const char* process : {"QQ音乐", "QQMusic"})
        for (const char* menu : {"播放控制", "Controls", "Playback"})
            for (const auto& item : qqUnlike) qqTried.push_back(menuClick(process, menu, item));
    qqTried.resize(3 * 6 + 2 * 6 + 3);  // every combination of "QQ音乐", then QQMusic up to Playback / "Unlike"
    const std::string qqAccepted = menuClick("QQMusic", "Playback", "Unlike");
    std::vector<std::string> netEaseTried;
    for (const char* process : {"网易云音乐", "NeteaseMusic"})
        for (const char* menu : {"播放", "Controls", "Playback"})
            for (const char* item : {"喜欢音乐", "Like", "Love"})
                netEaseTried.push_back(menuClick(process, menu, item));

    const Case cases[] = {
        {"Music likes", kMusic, true, true, {{musicLiked("true"), answer("ok")}}, {musicLiked("true")}, true},
        {"Music refuses", kMusic, true, true, {{musicLiked("true"), answer("no")}}, {musicLiked("true")}, std::nullopt},
        {"Music script fails",
         kMusic,
         true,
         false,
         {{musicLiked("false"), failure("timed out", true)}},
         {musicLiked("false")},
         std::nullopt},
        {"Music not running", kMusic, false, true, {{musicLiked("true"), answer("ok")}}, {}, std::nullopt},
        {"toggle without a like state likes",
         kMusic,
         true,
         std::nullopt,
         {{musicLiked("true"), answer("ok")}},
         {musicLiked("true")},
         true},
        {"Spotify saves",
         kSpotify,
         true,
         true,
         {{menuClick("Spotify", "Playback", "Save"), answer("ok")}},
         {menuClick("Spotify", "Playback", "Save to Your Library"), menuClick("Spotify", "Playback", "Save")},
         true},
        {"Spotify removes through the song menu",
         kSpotify,
         true,
         false,
         {{menuClick("Spotify", "Song", "Remove from Your Library"), answer("ok\n")}},
         {menuClick("Spotify", "Playback", "Remove from Your Library"), menuClick("Spotify", "Playback", "Remove"),
          menuClick("Spotify", "Playback", "Unlike"), menuClick("Spotify", "Song", "Remove from Your Library")},
         false},
        {"QQ Music unlikes on the second process name",
         "com.tencent.QQMusicMac",
         true,
         false,
         {{qqAccepted, answer("ok")}},
         qqTried,
         false},
        {"NetEase finds no menu", "com.netease.163music", true, true, {}, netEaseTried, std::nullopt},
        {"another player", "org.mpris.MediaPlayer2.vlc", true, true, {}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.running ? std::set<std::string>{c.shown} : std::set<std::string>{});
        for (const auto& [script, outcome] : c.answers) rig.scripts->answer(script, outcome);
        // QQ Music's readings count only while it is seen running.
        rig.adapter->sync([&] { rig.adapter->setQQState(true, std::nullopt); });
        rig.apply(rig.reading("Shown", c.shown));
        ASSERT_EQ(rig.adapter->bundleId(), c.shown);
        rig.adapter->setLiked(c.requested);
        rig.settle();
        EXPECT_EQ(rig.scripts->commands(), c.asked);
        EXPECT_EQ(rig.adapter->liked(), c.liked);
        for (const auto timeout : rig.scripts->timeouts()) EXPECT_EQ(timeout, 2000ms);
    }
}

// Transport and seek go to a running scriptable player's script first.
TEST(MacMediaAdapterScriptable, TransportAndSeekScripts) {
    struct Case {
        const char* name;
        const char* shown;
        bool running;
        std::function<void(MacMediaAdapter&)> command;
        std::vector<std::string> asked;
    };
    const Case cases[] = {
        {"play/pause in Music",
         kMusic,
         true,
         [](MacMediaAdapter& a) { a.playPause(); },
         {R"(tell application "Music" to playpause)"}},
        {"next in Spotify",
         kSpotify,
         true,
         [](MacMediaAdapter& a) { a.nextTrack(); },
         {R"(tell application "Spotify" to next track)"}},
        {"previous in Music",
         kMusic,
         true,
         [](MacMediaAdapter& a) { a.previousTrack(); },
         {R"(tell application "Music" to previous track)"}},
        {"Music not running", kMusic, false, [](MacMediaAdapter& a) { a.playPause(); }, {}},
        {"another player", "org.mpris.MediaPlayer2.mpv", true, [](MacMediaAdapter& a) { a.playPause(); }, {}},
        {"seek in Spotify",
         kSpotify,
         true,
         [](MacMediaAdapter& a) { a.seek(42); },
         {R"(tell application "Spotify" to set player position to 42.0)"}},
        {"seek past the end",
         kMusic,
         true,
         [](MacMediaAdapter& a) { a.seek(500); },
         {R"(tell application "Music" to set player position to 200.0)"}},
        {"seek before the start",
         kMusic,
         true,
         [](MacMediaAdapter& a) { a.seek(-5); },
         {R"(tell application "Music" to set player position to 0.0)"}},
        {"seek to a fraction",
         kMusic,
         true,
         [](MacMediaAdapter& a) { a.seek(12.25); },
         {R"(tell application "Music" to set player position to 12.25)"}},
        {"seek, Music not running", kMusic, false, [](MacMediaAdapter& a) { a.seek(12.25); }, {}},
    };
    // No player bus and no display: the channels after the script find
    // nothing to reach.
    testing::TempDirectory runtime;
    testing::ScopedEnvironment environment;
    environment.unset("DBUS_SESSION_BUS_ADDRESS");
    environment.set("XDG_RUNTIME_DIR", runtime.path().string());
    environment.unset("DISPLAY");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.running ? std::set<std::string>{c.shown} : std::set<std::string>{});
        for (const auto& script : c.asked) rig.scripts->answer(script, answer(""));
        rig.apply(rig.reading("Shown", c.shown));
        c.command(*rig.adapter);
        rig.settle();
        EXPECT_EQ(rig.scripts->commands(), c.asked);
    }
}

// Transport reaches the player bus only when the player's script did not
// answer: a mock player on a private bus records what it was asked.
TEST(MacMediaAdapterScriptable, TransportFallsToThePlayerBusWhenTheScriptFails) {
    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::TempDirectory folder;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.unset("DISPLAY");
    const auto templatePath = folder.path() / "mock_player.py";
    std::ofstream(templatePath) << R"(import dbus
BUS_NAME = 'org.mpris.MediaPlayer2.Mock'
MAIN_OBJ = '/org/mpris/MediaPlayer2'
MAIN_IFACE = 'org.mpris.MediaPlayer2.Player'
SYSTEM_BUS = False
def load(mock, parameters):
    mock.AddProperties('org.mpris.MediaPlayer2', {'Identity': 'Mock', 'DesktopEntry': 'mock'})
    mock.AddProperties(MAIN_IFACE, {
        'PlaybackStatus': 'Playing', 'Rate': 1.0, 'Position': dbus.Int64(5000000),
        'Metadata': dbus.Dictionary({'mpris:trackid': dbus.ObjectPath('/t/1'), 'xesam:title': 'Mock'},
                                    signature='sv')})
    mock.AddMethods(MAIN_IFACE, [(name, '', '', '') for name in ('PlayPause', 'Next', 'Previous')])
)";
    auto mock = process::ChildProcess::spawn("/usr/bin/python3",
                                             {"-m", "dbusmock", "--template", templatePath.string()}, error);
    ASSERT_TRUE(mock) << error;
    auto mockCall = [](const std::string& method) {
        return process::Shell::run("/usr/bin/dbus-send",
                                   {"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.Mock",
                                    "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Mock." + method},
                                   10);
    };
    ASSERT_TRUE(testing::eventually([&] { return mockCall("GetCalls").status == 0; }));

    struct Case {
        const char* name;
        bool running;
        script::ScriptOutcome outcome;
        bool reachesBus;
    };
    const Case cases[] = {
        {"the script answers", true, answer(""), false},
        {"the script fails", true, failure("Music got an error: Application isn't running. (-600)"), true},
        {"Music is not running", false, answer(""), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mockCall("ClearCalls").status, 0);
        Rig rig(c.running ? std::set<std::string>{kMusic} : std::set<std::string>{});
        rig.scripts->answer(R"(tell application "Music" to next track)", c.outcome);
        rig.apply(rig.reading("Shown", kMusic));
        rig.adapter->nextTrack();
        // The command ran on the adapter queue, the bus call included.
        rig.settle();
        EXPECT_EQ(rig.scripts->commands().size(), c.running ? 1u : 0u);
        const std::string calls = mockCall("GetCalls").stdout;
        EXPECT_EQ(calls.find("\"Next\"") != std::string::npos, c.reachesBus) << calls;
    }
    mock->sendSignal(SIGTERM);
    EXPECT_TRUE(testing::eventually([&] { return !mock->isRunning(); }));
}

// The native identity check: the player's own reading confirms, corrects
// or (when it has none) holds back what the other sources report.
TEST(MacMediaAdapterScriptable, NativeIdentityCheck) {
    // The player's answer; `held` keeps it back until the test lets go.
    struct Native {
        std::mutex mutex;
        std::condition_variable released;
        std::optional<Snapshot> reading;
        bool held = false;
        int asked = 0;
    };
    auto native = std::make_shared<Native>();
    auto setNative = [&](std::optional<Snapshot> s, bool held = false) {
        std::lock_guard lock(native->mutex);
        native->reading = std::move(s);
        native->held = held;
        native->released.notify_all();
    };
    auto asked = [&] {
        std::lock_guard lock(native->mutex);
        return native->asked;
    };
    // The check's answer has been merged once the player was asked `count`
    // times and the hop back is done.
    auto answered = [&](Rig& rig, int count) {
        EXPECT_TRUE(testing::eventually([&] { return asked() >= count; }));
        rig.settle();
    };
    const NativeQuery query = [native](const std::string& bundleId) -> std::optional<Snapshot> {
        std::unique_lock lock(native->mutex);
        ++native->asked;
        native->released.wait_for(lock, 10s, [&] { return !native->held; });
        if (!native->reading || native->reading->bundleId != bundleId) return std::nullopt;
        return native->reading;
    };

    {
        SCOPED_TRACE("a pause of the shown track while Music still plays it");
        Rig rig({}, false, query);
        const Snapshot playing = rig.reading("Song", kMusic, true, 30);
        rig.apply(playing);
        setNative(playing);
        Snapshot pause = playing;
        pause.isPlaying = false;
        pause.playbackRate = 0;
        rig.apply(pause, true);
        answered(rig, 1);
        EXPECT_TRUE(rig.adapter->isPlaying()) << "Music's reading is applied, not the pause";
    }
    {
        SCOPED_TRACE("the same pause while Music answers nothing");
        Rig rig({}, false, query);
        rig.apply(rig.reading("Song", kMusic, true, 30));
        setNative(std::nullopt);
        rig.apply(rig.reading("Song", kMusic, false, 30), true);
        answered(rig, 2);
        EXPECT_TRUE(rig.adapter->isPlaying());
    }
    {
        SCOPED_TRACE("a new Spotify track while Spotify reports the old one");
        Rig rig({}, false, query);
        const Snapshot old = rig.reading("Old", kSpotify, true, 50);
        rig.apply(old);
        setNative(old, true);
        rig.apply(rig.reading("New", kSpotify, true, 0), true);
        EXPECT_EQ(rig.adapter->title(), "New") << "a new track is shown at once";
        setNative(old);
        EXPECT_TRUE(testing::eventually([&] { return rig.adapter->title() == "Old"; }));
    }
    {
        SCOPED_TRACE("details only the watcher knows");
        Rig rig({}, false, query);
        Snapshot shown = rig.reading("Song", kMusic, false, 30);
        shown.album = "";
        rig.apply(shown);
        Snapshot bare = rig.reading("Song", kMusic, true, 30);
        bare.album = "  ";
        setNative(bare);
        // A play-state change of the shown track: checked, then the
        // player's reading is taken with the watcher's details.
        Snapshot rich = rig.reading("Song", kMusic, true, 30);
        rich.album = "Album";
        rich.liked = true;
        rich.artwork = std::string("\xFF\xD8 cover", 8);
        rig.apply(rich, true);
        answered(rig, 4);
        EXPECT_TRUE(rig.adapter->isPlaying());
        EXPECT_EQ(rig.adapter->album(), "Album");
        EXPECT_EQ(rig.adapter->liked(), true);
        ASSERT_TRUE(rig.adapter->artworkPNG());
        EXPECT_EQ(rig.adapter->artworkPNG()->size(), 8u);
    }
    {
        SCOPED_TRACE("an answer after a track change");
        Rig rig({}, false, query);
        setNative(rig.reading("Native", kMusic, true, 5));
        // Both readings are new tracks: the first one's check comes back
        // after the second moved the generation on.
        rig.adapter->sync([&] {
            rig.adapter->apply(rig.reading("First", kMusic, true, 0), std::nullopt, false, true);
            rig.adapter->apply(rig.reading("Second", "org.mpris.MediaPlayer2.mpv", true, 0), std::nullopt, false,
                               false);
        });
        answered(rig, 5);
        EXPECT_EQ(rig.adapter->title(), "Second");
    }
    {
        SCOPED_TRACE("readings not from a scriptable player are never checked");
        Rig rig({}, false, query);
        rig.apply(rig.reading("Song", "org.mpris.MediaPlayer2.mpv", true), true);
        rig.settle();
        EXPECT_EQ(asked(), 5) << "no more than the checks above";
    }
}

TEST(MacMediaAdapterScriptable, OverlayTakesOnlyWhatTheNativeReadingLacks) {
    Snapshot native;
    native.title = "Song";
    native.artist = "Artist";
    native.album = " ";
    native.songMid = "";
    native.isPlaying = true;
    native.elapsed = 30;
    native.duration = 200;
    Snapshot helper = native;
    helper.title = "Other";
    helper.album = "Album";
    helper.artwork = "jpeg";
    helper.liked = false;
    helper.songMid = "mid";
    helper.albumMid = "amid";
    helper.isPlaying = false;
    helper.elapsed = 1;
    const auto overlaid = MacMediaAdapter::overlayCompatibleHelperDetail(native, helper);
    EXPECT_EQ(overlaid.title, "Song");
    EXPECT_EQ(overlaid.album, "Album");
    EXPECT_EQ(overlaid.artwork, "jpeg");
    EXPECT_EQ(overlaid.liked, false);
    EXPECT_EQ(overlaid.songMid, "mid");
    EXPECT_EQ(overlaid.albumMid, "amid");
    EXPECT_TRUE(overlaid.isPlaying);
    EXPECT_DOUBLE_EQ(overlaid.elapsed, 30);

    native.album = "Own";
    native.liked = true;
    native.songMid = "own";
    const auto kept = MacMediaAdapter::overlayCompatibleHelperDetail(native, helper);
    EXPECT_EQ(kept.album, "Own");
    EXPECT_EQ(kept.liked, true);
    EXPECT_EQ(kept.songMid, "own");
}

// The watcher's empty reading while a scriptable player is shown: both
// players are asked, and the state is cleared or what they report applied.
TEST(MacMediaAdapterScriptable, EmptyWatcherReadingAsksThePlayers) {
    struct Native {
        std::mutex mutex;
        std::optional<Snapshot> music;
    };
    auto native = std::make_shared<Native>();
    const NativeQuery query = [native](const std::string& bundleId) -> std::optional<Snapshot> {
        std::lock_guard lock(native->mutex);
        if (bundleId != kMusic) return std::nullopt;
        return native->music;
    };
    const std::string empty = R"({"ok":true,"empty":true})";
    {
        SCOPED_TRACE("neither player has anything");
        Rig rig({}, false, query);
        rig.apply(rig.reading("Song", kMusic, true, 30));
        const int before = rig.changes();
        rig.line(empty);
        EXPECT_TRUE(testing::eventually([&] { return !rig.adapter->title(); }));
        rig.settle();
        EXPECT_EQ(rig.changes(), before + 1);
    }
    {
        SCOPED_TRACE("Music plays");
        Rig rig({}, false, query);
        rig.apply(rig.reading("Song", kMusic, true, 30));
        {
            std::lock_guard lock(native->mutex);
            native->music = rig.reading("Song", kMusic, true, 80);
        }
        rig.line(empty);
        EXPECT_TRUE(testing::eventually([&] { return rig.adapter->elapsed() > 79; })) << "anchored at Music's position";
        EXPECT_EQ(rig.adapter->title(), "Song");
    }
    {
        SCOPED_TRACE("the shown track changed meanwhile");
        Rig rig({}, false, query);
        {
            std::lock_guard lock(native->mutex);
            native->music.reset();
        }
        rig.apply(rig.reading("Song", kMusic, true, 30));
        rig.adapter->sync([&] {
            rig.adapter->ingestHelperLine(empty);
            // Another player's track: the answer no longer fits.
            rig.adapter->apply(rig.reading("Song", kSpotify, true, 30), std::nullopt, false, false);
        });
        rig.settle();
        EXPECT_EQ(rig.adapter->title(), "Song");
        EXPECT_EQ(rig.adapter->bundleId(), kSpotify);
    }
}

}  // namespace
}  // namespace veltrane::deck
