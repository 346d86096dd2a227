// The background lookup: the providers in their order for the player, and
// the timed race that upgrades the music player's own lyrics.
#include <chrono>
#include <condition_variable>

#include "ControlDeckCore/lyrics/LyricsService.h"
#include "ControlDeckCore/lyrics/LyricsServiceQueues.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::lyrics {
namespace {

using LyricsLookup::usable;

// How long a race may hold its lookup.
constexpr auto kRaceWait = std::chrono::milliseconds(3400);
// Idle lookup threads leave after this.
constexpr auto kIdleThreadTimeout = std::chrono::seconds(5);

bool isQQMusic(const OptionalText& bundleId) {
    return bundleId && (*bundleId == LyricsLookup::kQQMusicBundleId || bundleId->find("QQMusic") != std::string::npos);
}

// The lyric of the QQ Music song a search finds for the track.
OptionalSnapshot searchedQQLyric(std::string_view title, const OptionalText& artist, double duration) {
    const auto track = LyricsLookup::findQQTrack(title, artist, duration);
    if (!track || !track->songMid) return std::nullopt;
    return LyricsLookup::qqLyric(*track->songMid);
}

// One race's shared cell, shared by the waiter and both racers; it lives
// until the last of them lets go.
struct Race {
    std::mutex lock;
    OptionalSnapshot cell;   // under lock
    int running = 2;         // under lock
    bool signalled = false;  // under lock
    std::condition_variable ended;

    void take(const OptionalSnapshot& s) {
        bool signal = false;
        {
            std::lock_guard guard(lock);
            if (usable(s) && (s->synced || !cell)) cell = s;
            const bool last = running-- == 1;
            signal = (cell && cell->synced) || last;
            if (signal) signalled = true;
        }
        if (signal) ended.notify_all();
    }
};

// Offers a racer's result once; a racer that ends without one (an exception
// on its way out included) still counts itself down.
class Racer {
public:
    explicit Racer(std::shared_ptr<Race> race) : race_(std::move(race)) {}
    ~Racer() {
        if (race_) race_->take(std::nullopt);
    }
    Racer(const Racer&) = delete;
    Racer& operator=(const Racer&) = delete;

    void take(const OptionalSnapshot& s) {
        if (!race_) return;
        race_->take(s);
        race_.reset();
    }

private:
    std::shared_ptr<Race> race_;
};

}  // namespace

dispatch::ConcurrentQueue& detail::lookupQueue() {
    static auto* queue = new std::shared_ptr<dispatch::ConcurrentQueue>(
        dispatch::ConcurrentQueue::create("veltrane.lyrics.lookup", kLookupThreadCap, kIdleThreadTimeout));
    return **queue;
}

dispatch::DispatchQueue& detail::launchQueue() {
    static auto* queue =
        new std::shared_ptr<dispatch::SerialQueue>(dispatch::SerialQueue::create("veltrane.lyrics.launch"));
    return **queue;
}

dispatch::ConcurrentQueue& detail::raceQueue() {
    static auto* queue = new std::shared_ptr<dispatch::ConcurrentQueue>(
        dispatch::ConcurrentQueue::create("veltrane.lyrics.race", kLookupThreadCap, kIdleThreadTimeout));
    return **queue;
}

void LyricsService::runLookup(const std::string& title, const OptionalText& artist, const OptionalText& album,
                              double duration, const OptionalText& bundleId, const OptionalText& songMid,
                              const LyricsLoader& loader, bool isMusic, const std::vector<std::string>& keys) {
    OptionalSnapshot r;
    if (loader) return finish(loader(), keys);

    if (isMusic) r = sources_.musicLyrics(title, artist, album);
    if (!usable(r) && externalLookupsAllowed()) {
        if (songMid && !songMid->empty()) r = LyricsLookup::qqLyric(*songMid);
        if (!usable(r) && isQQMusic(bundleId)) r = searchedQQLyric(title, artist, duration);
        if (!usable(r) && !isMusic) {
            auto l = LyricsLookup::lrclib(title, artist, album, duration);
            r = usable(l) ? std::move(l) : searchedQQLyric(title, artist, duration);
        }
    }
    if (isMusic && !(r && r->synced)) {
        if (externalLookupsAllowed()) {
            if (auto x = raceMusicLyrics(title, artist, album, duration)) {
                if (x->synced || !usable(r))
                    r = std::move(x);
                else
                    publishPartial(*x, keys);
            }
        } else if (auto l = LyricsLookup::lrclib(title, artist, album, duration); l && (l->synced || !usable(r))) {
            r = std::move(l);
        }
    }
    if (!usable(r) && isMusic) r = sources_.musicLyrics(title, artist, album);
    finish(r, keys);
}

OptionalSnapshot LyricsService::raceMusicLyrics(const std::string& title, const OptionalText& artist,
                                                const OptionalText& album, double duration) {
    auto race = std::make_shared<Race>();
    auto self = shared_from_this();

    detail::raceQueue().async([self, racer = std::make_shared<Racer>(race), title, artist, album, duration] {
        const detail::ServiceScope scope(*self);
        racer->take(LyricsLookup::lrclib(title, artist, album, duration));
    });

    detail::raceQueue().async([self, racer = std::make_shared<Racer>(race), title, artist, album, duration] {
        const detail::ServiceScope scope(*self);
        OptionalSnapshot q;
        if (const auto track = LyricsLookup::findQQTrack(title, artist, duration); track && track->songMid) {
            q = LyricsLookup::qqLyric(*track->songMid);
            if (q && q->synced) return racer->take(q);
        }
        // The wanted track keeps the best hit's cover; later hits, often
        // other songs of the artist, are kept under their own names only.
        bool wantedHasCover = false;
        for (const auto& hit : LyricsLookup::catalogHits(title, artist, duration, album, {"tw"})) {
            if (wantedHasCover)
                LyricsLookup::rememberCover(hit, hit.title, hit.artist);
            else
                wantedHasCover = LyricsLookup::rememberCover(hit, title, artist);
            const double d = hit.duration > 1.0 ? hit.duration : duration;
            if (const auto track = LyricsLookup::findQQTrack(hit.title, hit.artist, d); track && track->songMid) {
                if (auto s = LyricsLookup::qqLyric(*track->songMid); s && s->synced) return racer->take(s);
            }
        }
        racer->take(q);
    });

    std::unique_lock lock(race->lock);
    race->ended.wait_until(lock, std::chrono::steady_clock::now() + kRaceWait, [&] { return race->signalled; });
    return race->cell;
}

}  // namespace veltrane::lyrics
