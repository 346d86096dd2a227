// QQ Music in the media adapter: its poll, the completion of its readings
// from the play queue, the re-reads of a new track's position, and the covers
// of tracks that come without one (QQ's image server, then the catalog).
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include <nlohmann/json.hpp>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/lyrics/LyricsLookup.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "ControlDeckCore/media/MediaRemoteClient.h"
#include "ControlDeckCore/media/Playhead.h"
#include "ControlDeckCore/media/QQCover.h"
#include "ControlDeckCore/media/QQPlayQueue.h"
#include "ControlDeckCore/media/QQPlayerReading.h"
#include "ControlDeckCore/media/UpcomingTrack.h"
#include "platform/accessibility/AtspiAccessibilityTree.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/process/Shell.h"
#include "platform/text/Whitespace.h"

namespace veltrane::deck {
namespace {

using media::Playhead;
using media::QQNowPlaying::LibraryTrack;
using Snapshot = MacMediaAdapter::Snapshot;
using lyrics::OptionalText;

constexpr const char* kQQMusic = "com.tencent.QQMusicMac";
constexpr const char* kMusic = "com.apple.Music";

constexpr const char* kPollQueueLabel = "deck.qq.ax";
constexpr double kPollFirstDelay = 0.15;
constexpr double kPollInterval = 0.3;
constexpr double kPollLeeway = 0.05;
constexpr double kQQGoneAfter = 2.5;
constexpr double kQQLogInterval = 5.0;

constexpr double kResyncDelays[] = {0.15, 0.65, 1.5};
constexpr double kResyncTimeout = 2.0;

constexpr double kCoverRetry = 2.0;         // per album id, while no cover came
constexpr double kAlbumLookupRetry = 15.0;  // per track key
constexpr double kStoreCoverRetry = 8.0;    // per track key
constexpr double kStoreCoverMinLength = 30.0;
constexpr double kArtworkTimeout = 0.9;
constexpr double kLargerArtworkTimeout = 1.4;
constexpr auto kUpcomingTimeout = std::chrono::milliseconds(2000);

// The music app's next track in its current playlist, as
// "title<TAB>artist<TAB>album<TAB>duration"; empty at the end or when stopped.
constexpr std::string_view kUpcomingTrackScript =
    "tell application \"Music\"\n"
    "  if player state is stopped then return \"\"\n"
    "  try\n"
    "    set t to current track\n"
    "    set i to index of t\n"
    "    tell current playlist\n"
    "      if (count of tracks) < i + 1 then return \"\"\n"
    "      set n to track (i + 1)\n"
    "      return (name of n) & tab & (artist of n) & tab & (album of n) & tab & ((duration of n) as string)\n"
    "    end tell\n"
    "  on error\n"
    "    return \"\"\n"
    "  end try\n"
    "end tell";

bool is(const std::optional<std::string>& bundleId, const char* id) { return bundleId && *bundleId == id; }

std::string trimmed(const std::optional<std::string>& text) {
    return text ? std::string(text::trimmingWhitespaceAndNewlines(*text)) : std::string();
}

double seconds(Date date) { return std::chrono::duration<double>(date.time_since_epoch()).count(); }
// Date::min() stands for "never": infinitely long ago, where subtracting the
// time points would overflow.
double secondsBetween(Date from, Date to) {
    if (from == Date::min()) return std::numeric_limits<double>::infinity();
    return std::chrono::duration<double>(to - from).count();
}

// Where slow outside work runs (scripts, downloads, searches): grows a thread
// per blocked task, and is left alive at exit, when such work may still hang.
dispatch::ConcurrentQueue& backgroundQueue() {
    static auto* queue = new std::shared_ptr<dispatch::ConcurrentQueue>(
        dispatch::ConcurrentQueue::create("deck.media.background", 64, std::chrono::seconds(10)));
    return **queue;
}

// A track's identity for the cover throttles: title, artist key, album,
// length in 5 s steps, player.
std::string recordingKey(const Snapshot& s) {
    std::string length;
    // Lengths past any real track have no bucket (and would not fit one).
    if (std::isfinite(s.duration) && s.duration > 1.0 && s.duration < 1e15)
        length = std::to_string(static_cast<long long>(std::round(s.duration / 5.0)) * 5);
    return s.title.value_or("") + "|" + Playhead::artistKey(s.artist) + "|" + trimmed(s.album) + "|" + length + "|" +
           trimmed(s.bundleId ? s.bundleId : s.source);
}

std::optional<std::string> besideProgram(const char* name) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    const auto path = self.parent_path() / name;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    return path.string();
}

std::string replacingAll(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

// What the poll's ticks share; lives on "deck.qq.ax" once the first tick set
// it up.
struct MacMediaAdapter::QQPoll {
    std::shared_ptr<dispatch::SerialQueue> queue;
    std::unique_ptr<dispatch::DispatchTimer> timer;
    std::shared_ptr<apps::RunningApps> apps;
    std::shared_ptr<accessibility::AccessibilityTree> windows;
    std::shared_ptr<script::ScriptHost> scripts;
    std::unique_ptr<media::QQNowPlaying::Reader> reader;
    std::function<double()> now;  // the readings' clock
    media::QQNowPlaying::AccessibilityPermission permission;
    bool inFlight = false;

    // By value: the last tick may end the poll, and with it the timer's
    // handler that holds these.
    static void tick(std::weak_ptr<QQPoll> weakPoll, std::weak_ptr<MacMediaAdapter> weakAdapter);
};

void MacMediaAdapter::startQQPoll() {
    auto poll = std::make_shared<QQPoll>();
    poll->queue = dispatch::SerialQueue::create(kPollQueueLabel);
    poll->timer = dispatch::DispatchTimer::create(
        *poll->queue, dispatch::seconds(kPollInterval), dispatch::seconds(kPollLeeway),
        [weakPoll = std::weak_ptr<QQPoll>(poll), weak = weak_from_this()] { QQPoll::tick(weakPoll, weak); });
    poll->timer->start(dispatch::seconds(kPollFirstDelay));
    qqPoll_ = std::move(poll);
}

void MacMediaAdapter::QQPoll::tick(std::weak_ptr<QQPoll> weakPoll, std::weak_ptr<MacMediaAdapter> weakAdapter) {
    const auto poll = weakPoll.lock();
    if (!poll || poll->inFlight) return;
    poll->inFlight = true;
    if (!poll->reader) {
        const auto self = weakAdapter.lock();
        if (!self) return;
        const QQSources& sources = self->environment_.qq;
        poll->apps = sources.apps;
        if (!poll->apps) {
            // The backend is opened on the adapter queue, which never waits
            // for this one.
            std::shared_ptr<media::MediaRemoteLibrary> library;
            self->queue_->sync([&] { library = self->library(); });
            if (library)
                poll->apps = std::shared_ptr<apps::RunningApps>(library, &library->apps);
            else
                poll->apps = std::make_shared<apps::FakeRunningApps>();
        }
        poll->windows = sources.windows;
        if (!poll->windows) poll->windows = accessibility::AtspiAccessibilityTree::ifRunning();
        if (!poll->windows) poll->windows = std::make_shared<accessibility::NoAccessibility>();
        poll->scripts = sources.scripts ? sources.scripts : std::make_shared<script::NoScriptHost>();
        poll->now = [clock = self->environment_.clock] {
            return seconds(clock()) - media::MediaRemoteNowPlaying::kReferenceDateSince1970;
        };
        poll->reader =
            std::make_unique<media::QQNowPlaying::Reader>(*poll->apps, *poll->windows, *poll->scripts, poll->now);
    }
    const bool running = poll->apps->bundleRunning(kQQMusic);
    const bool trusted = poll->reader->trusted();
    // The desktop asks no permission to read other windows: whatever the
    // step asks for (a prompt, the settings page) has nothing to show.
    if (running) poll->permission.step(trusted, poll->now());
    std::optional<Snapshot> snapshot = running ? poll->reader->snapshot() : std::nullopt;
    poll->inFlight = false;
    if (const auto self = weakAdapter.lock()) {
        self->queue_->async([weakAdapter, running, snapshot = std::move(snapshot), trusted]() mutable {
            if (auto adapter = weakAdapter.lock()) adapter->applyQQPoll(running, std::move(snapshot), trusted);
        });
    }
}

void MacMediaAdapter::applyQQPoll(bool running, std::optional<Snapshot> snapshot, bool trusted) {
    const Date nowDate = environment_.clock();
    if (running) {
        qqIsRunning_ = true;
        qqGoneAt_.reset();
    } else {
        if (!qqGoneAt_) qqGoneAt_ = nowDate;
        if (secondsBetween(*qqGoneAt_, nowDate) > kQQGoneAfter) {
            qqIsRunning_ = false;
            if (is(bundleId_.wrappedValue(), kQQMusic)) applyOnQueue(std::nullopt, std::nullopt, false, true);
        }
    }
    qqPlaybackStatus_ = snapshot;
    if (snapshot) applyPassiveQQSnapshot(*snapshot);

    if (secondsBetween(lastQQLog_, nowDate) > kQQLogInterval) {
        lastQQLog_ = nowDate;
        const auto text = [](const std::optional<std::string>& value) { return value ? *value : std::string("nil"); };
        const auto published = lyrics_.wrappedValue();
        const long lines = published ? static_cast<long>(published->lines.size()) : -1;
        std::fprintf(stderr, "[deck] QQ ax trusted=%s title=%s snap=%s playing=%s lyrics=%ld kar=%s src=%s\n",
                     trusted ? "true" : "false", text(title_.wrappedValue()).c_str(),
                     text(snapshot ? snapshot->title : std::nullopt).c_str(),
                     snapshot && snapshot->isPlaying ? "true" : "false", lines,
                     text(karaokeLine_.wrappedValue()).c_str(), text(source_.wrappedValue()).c_str());
        std::fflush(stderr);
    }
}

bool MacMediaAdapter::shouldApplyPassiveQQ(const Snapshot& snapshot) const {
    if (snapshot.isPlaying) return true;
    const auto shownBundle = bundleId_.wrappedValue();
    return !shownBundle || *shownBundle == kQQMusic;
}

void MacMediaAdapter::applyPassiveQQSnapshot(const Snapshot& snapshot) {
    if (!shouldApplyPassiveQQ(snapshot)) return;
    qqIsRunning_ = true;
    qqGoneAt_.reset();
    qqPlaybackStatus_ = snapshot;
    apply(snapshot, std::nullopt, false, true);
}

Snapshot MacMediaAdapter::enrichQQ(const Snapshot& snapshot) const {
    if (environment_.qq.library) return media::QQNowPlaying::enrich(snapshot, environment_.qq.library());
    return media::QQNowPlaying::enrich(snapshot);
}

std::optional<LibraryTrack> MacMediaAdapter::qqNextLibraryTrack(const std::string& songMid) const {
    const auto tracks = environment_.qq.library ? environment_.qq.library() : media::QQNowPlaying::loadLibrarySongs();
    auto around = media::QQNowPlaying::neighboringTracks(songMid, tracks);
    if (around.empty()) return std::nullopt;
    return std::move(around.front());
}

void MacMediaAdapter::prefetchQQNeighbours(const std::string& songMid) {
    const auto tracks = environment_.qq.library ? environment_.qq.library() : media::QQNowPlaying::loadLibrarySongs();
    for (const auto& track : media::QQNowPlaying::neighboringTracks(songMid, tracks)) {
        const OptionalText bundleId = std::string(kQQMusic);
        auto ignore = [](const lyrics::OptionalSnapshot&) {};
        if (environment_.lyricsFetch)
            environment_.lyricsFetch(track.title, track.artist, track.album, track.duration, bundleId, track.songMid,
                                     ignore);
        else
            lyrics::LyricsLookup::fetch(track.title, track.artist, track.album, track.duration, bundleId, track.songMid,
                                        nullptr, ignore);
    }
}

// The new track's position, read again shortly after it started.
void MacMediaAdapter::resyncNewTrack(const Snapshot& trigger) {
    if (!is(trigger.bundleId, kQQMusic)) return;
    const auto script = environment_.qq.resyncScript ? environment_.qq.resyncScript() : besideProgram("nowplaying.js");
    if (!script) return;
    auto run = environment_.qq.runResyncScript;
    if (!run)
        run = [](const std::string& path) -> std::optional<std::string> {
            auto result = process::Shell::run("/usr/bin/osascript", {"-l", "JavaScript", path}, kResyncTimeout);
            if (result.status != 0) return std::nullopt;
            return std::move(result.stdout);
        };
    const std::int64_t generation = trackResyncGeneration_;
    for (const double delay : kResyncDelays) {
        queue_->asyncAfter(dispatch::seconds(delay),
                           [weak = weak_from_this(), generation, path = *script, run, trigger] {
                               auto self = weak.lock();
                               if (!self || self->trackResyncGeneration_ != generation) return;
                               backgroundQueue().async([weak, generation, path, run, trigger] {
                                   const auto output = run(path);
                                   if (!output) return;
                                   nlohmann::json answer = nlohmann::json::parse(*output, nullptr, false);
                                   if (answer.is_discarded() || !answer.is_object()) return;
                                   auto self = weak.lock();
                                   if (!self) return;
                                   self->queue_->async([weak, generation, answer = std::move(answer), trigger] {
                                       auto adapter = weak.lock();
                                       if (adapter) adapter->mergeResync(generation, answer, trigger);
                                   });
                               });
                           });
    }
}

void MacMediaAdapter::mergeResync(std::int64_t generation, const nlohmann::json& answer, const Snapshot& trigger) {
    if (trackResyncGeneration_ != generation) return;
    auto reading = media::snapshotFromHelperJSON(answer, now());
    if (!reading || !reading->elapsedKnown || reading->bundleId != trigger.bundleId) return;
    *reading = enrichQQ(*reading);
    const Snapshot shownNow = shown();
    if (!Playhead::sameRecording(reading->title, shownNow.title, reading->artist, shownNow.artist, reading->album,
                                 shownNow.album, reading->source, shownNow.source, reading->bundleId,
                                 shownNow.bundleId))
        return;
    std::optional<double> rawElapsed;
    if (const auto raw = answer.find("rawElapsed");
        raw != answer.end() && raw->is_number() && std::isfinite(raw->get<double>()))
        rawElapsed = raw->get<double>();
    applyOnQueue(std::move(reading), rawElapsed, true, true);
}

void MacMediaAdapter::considerQQCover(const Snapshot& s) {
    const Date nowDate = environment_.clock();
    const auto albumMid = s.albumMid ? s.albumMid : albumMid_;
    if (albumMid && !albumMid->empty()) {
        const auto artwork = artworkPNG_.wrappedValue();
        if (artworkKey_ == albumMid && artwork) return;
        const std::string key(text::trimmingWhitespaceAndNewlines(*albumMid));
        if (auto cached = media::QQNowPlaying::coverCache().get(key)) {
            artworkKey_ = albumMid;
            if (!artwork) publishArtwork(std::move(*cached));
            return;
        }
        if (artworkKey_ == albumMid && secondsBetween(artworkRequestedAt_, nowDate) < kCoverRetry) return;
        artworkKey_ = albumMid;
        artworkRequestedAt_ = nowDate;
        auto cover = environment_.covers.qqCover;
        if (!cover) cover = [](const std::string& id) { return media::QQNowPlaying::coverJPEG(id); };
        backgroundQueue().async([weak = weak_from_this(), cover, id = *albumMid] {
            auto data = cover(id);
            if (!data) return;
            auto self = weak.lock();
            if (!self) return;
            self->queue_->async([weak, id, data = std::move(*data)]() mutable {
                auto adapter = weak.lock();
                if (!adapter || adapter->artworkKey_ != id) return;
                const auto artwork = adapter->artworkPNG_.wrappedValue();
                if (artwork && !artwork->empty()) return;
                adapter->publishArtwork(std::move(data));
                adapter->changed();
            });
        });
        return;
    }

    if (!s.title || s.title->empty()) return;
    const auto songMid = s.songMid ? s.songMid : songMid_;
    const std::string key = songMid && !songMid->empty() ? "qq:" + *songMid : recordingKey(s);
    if (coverLookupKey_ == key && secondsBetween(coverLookupAt_, nowDate) <= kAlbumLookupRetry) return;
    coverLookupKey_ = key;
    coverLookupAt_ = nowDate;
    auto byMid = environment_.covers.qqAlbumMid;
    if (!byMid) byMid = [](const std::string& mid) { return lyrics::LyricsLookup::qqAlbumMid(mid); };
    auto search = environment_.covers.findQQTrack;
    if (!search)
        search = [](const std::string& title, const OptionalText& artist, double duration) {
            return lyrics::LyricsLookup::findQQTrack(title, artist, duration);
        };
    backgroundQueue().async([weak = weak_from_this(), byMid, search, songMid, key, reading = s] {
        OptionalText found;
        if (songMid && !songMid->empty()) found = byMid(*songMid);
        if (!found) {
            if (const auto track = search(*reading.title, reading.artist, reading.duration)) found = track->albumMid;
        }
        if (!found || found->empty()) return;
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, key, reading, albumMid = *found] {
            auto adapter = weak.lock();
            if (!adapter || adapter->coverLookupKey_ != key) return;
            const std::string title = trimmed(reading.title);
            if (title.empty() || title != adapter->title_.wrappedValue().value_or("")) return;
            if (Playhead::artistKey(reading.artist) != Playhead::artistKey(adapter->artist_.wrappedValue())) return;
            adapter->albumMid_ = albumMid;
            // Outside a merge nothing else tells tablets of a cover this
            // stores, from the cache or (later) from the download.
            const auto before = adapter->artworkPNG_.wrappedValue();
            adapter->considerQQCover(reading);
            if (adapter->artworkPNG_.wrappedValue() != before) adapter->changed();
        });
    });
}

void MacMediaAdapter::considerStoreCover(const Snapshot& s) {
    if (artworkPNG_.wrappedValue()) return;
    if (!s.title || s.title->empty() || !s.artist || s.artist->empty()) return;
    if (s.duration > 0 && s.duration <= kStoreCoverMinLength) return;
    const CoverSources& sources = environment_.covers;
    auto cached = sources.cachedCover;
    if (!cached)
        cached = [](const std::string& title, const OptionalText& artist) {
            return lyrics::LyricsLookup::cachedCover(title, artist);
        };
    if (auto cover = cached(*s.title, s.artist)) {
        publishArtwork(std::move(*cover));
        return;
    }
    const Date nowDate = environment_.clock();
    const std::string key = recordingKey(s);
    if (storeCoverKey_ == key && secondsBetween(storeCoverAt_, nowDate) <= kStoreCoverRetry) return;
    storeCoverKey_ = key;
    storeCoverAt_ = nowDate;

    auto hitsOf = sources.catalogHits;
    if (!hitsOf)
        hitsOf = [](const std::string& title, const OptionalText& artist, double duration, const OptionalText& album,
                    const std::vector<OptionalText>& countries) {
            return lyrics::LyricsLookup::catalogHits(title, artist, duration, album, countries);
        };
    auto alias = sources.artistAlias;
    if (!alias) alias = [](const OptionalText& artist) { return lyrics::LyricsLookup::artistAlias(artist); };
    auto download = sources.downloadData;
    if (!download)
        download = [](const std::string& url, double timeout) {
            return lyrics::LyricsLookup::downloadData(url, timeout);
        };

    backgroundQueue().async([weak = weak_from_this(), cached, hitsOf, alias, download, key, reading = s] {
        const std::string& title = *reading.title;
        auto cover = cached(title, reading.artist);
        if (!cover) {
            auto hits = hitsOf(title, reading.artist, reading.duration, reading.album, {std::string("tw")});
            if (hits.empty()) {
                if (const auto aliased = alias(reading.artist))
                    hits = hitsOf(title, aliased, reading.duration, reading.album, {std::string("tw")});
            }
            if (hits.empty()) hits = hitsOf(title, reading.artist, reading.duration, reading.album, {std::nullopt});
            if (hits.empty()) return;
            const std::string& url = hits.front().artworkURL;
            auto data = download(url, kArtworkTimeout);
            if (!data) data = download(replacingAll(url, "100x100bb", "300x300bb"), kLargerArtworkTimeout);
            if (!data) return;
            cover = media::QQNowPlaying::displayArtwork(*data);
            if (!cover) return;
        }
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, key, reading, cover = std::move(*cover)]() mutable {
            auto adapter = weak.lock();
            if (!adapter || adapter->storeCoverKey_ != key) return;
            const std::string title = trimmed(reading.title);
            if (title.empty() || title != adapter->title_.wrappedValue().value_or("")) return;
            if (Playhead::artistKey(reading.artist) != Playhead::artistKey(adapter->artist_.wrappedValue())) return;
            if (adapter->artworkPNG_.wrappedValue()) return;
            adapter->publishArtwork(std::move(cover));
            adapter->changed();
        });
    });
}

// Warms the lyrics of the music app's next track. Its cover is not fetched:
// nothing would keep it.
void MacMediaAdapter::prefetchMusicUpcoming() {
    std::shared_ptr<script::ScriptHost> scripts = environment_.qq.scripts;
    if (!scripts) return;  // no automation host, no upcoming track
    auto fetch = environment_.lyricsFetch;
    backgroundQueue().async([scripts, fetch] {
        const auto reply = scripts->run(kUpcomingTrackScript, kUpcomingTimeout).output;
        if (!reply) return;
        const auto track = media::parseUpcomingTrack(*reply);
        if (!track) return;
        const OptionalText bundleId = std::string(kMusic);
        auto ignore = [](const lyrics::OptionalSnapshot&) {};
        if (fetch)
            fetch(track->title, track->artist, track->album, track->duration, bundleId, std::nullopt, ignore);
        else
            lyrics::LyricsLookup::fetch(track->title, track->artist, track->album, track->duration, bundleId,
                                        std::nullopt, nullptr, ignore);
    });
}

}  // namespace veltrane::deck
