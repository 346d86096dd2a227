#include "ControlDeckCore/adapters/MacMediaAdapter.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "ControlDeckCore/media/MediaRemoteClient.h"
#include "ControlDeckCore/media/Playhead.h"
#include "ControlDeckCore/media/ScriptablePlayers.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/process/StreamingChild.h"
#include "platform/script/ScriptHost.h"
#include "platform/text/Whitespace.h"
#include "platform/x11/MediaKeys.h"

namespace veltrane::deck {
namespace {

using media::Playhead;
using Snapshot = MacMediaAdapter::Snapshot;

constexpr const char* kQQMusic = "com.tencent.QQMusicMac";
constexpr const char* kMusic = "com.apple.Music";
constexpr const char* kSpotify = "com.spotify.client";

constexpr double kSeekOverrideLifetime = 1.4;
constexpr double kSeekAgreement = 0.45;
constexpr double kLikeOverrideLifetime = 2.0;
constexpr double kNotifiedMove = 0.02;

// How long a player may take to answer a command.
std::chrono::milliseconds commandTimeout() { return std::chrono::milliseconds(500); }

double toSeconds(Date date) {
    return std::chrono::duration<double>(date.time_since_epoch()).count() -
           media::MediaRemoteNowPlaying::kReferenceDateSince1970;
}

Date toDate(double seconds) {
    return Date(std::chrono::duration_cast<Date::duration>(
        std::chrono::duration<double>(seconds + media::MediaRemoteNowPlaying::kReferenceDateSince1970)));
}

bool sameArtwork(const std::shared_ptr<const PNGData>& a, const std::shared_ptr<const PNGData>& b) {
    return a == b || (a && b && *a == *b);
}

bool is(const std::optional<std::string>& bundleId, const char* id) { return bundleId && *bundleId == id; }
bool isQQ(const Snapshot& s) { return is(s.bundleId, kQQMusic); }

bool blank(const std::optional<std::string>& text) {
    return !text || text::trimmingWhitespaceAndNewlines(*text).empty();
}

// A reading's numbers that are not finite would end in the published state
// and make the whole state unwritable for tablets: they count as absent.
void sanitize(Snapshot& s, double now) {
    if (!std::isfinite(s.duration)) s.duration = 0;
    if (!std::isfinite(s.elapsed)) {
        s.elapsed = 0;
        s.elapsedKnown = false;
    }
    if (!std::isfinite(s.playbackRate)) s.playbackRate = 0;
    if (!std::isfinite(s.capturedAt) || std::fabs(s.capturedAt) > 9.2e9) s.capturedAt = now;
}

std::optional<std::string> besideProgram() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    const auto helper = self.parent_path() / "mirabeck";
    if (::access(helper.c_str(), X_OK) != 0) return std::nullopt;
    return helper.string();
}

}  // namespace

std::shared_ptr<MacMediaAdapter> MacMediaAdapter::create(bool startObservers, Environment environment) {
    auto adapter = std::shared_ptr<MacMediaAdapter>(new MacMediaAdapter(startObservers, std::move(environment)));
    if (startObservers) {
        // Now-playing notifications need no registration here: the player
        // backend listens to the bus itself.
        adapter->startObserving();
        adapter->startDistributedObservers();
        adapter->startNowPlayingWatch();
        adapter->startQQPoll();
        adapter->startLyricClock();
        adapter->startScriptableClock();
    }
    return adapter;
}

MacMediaAdapter::MacMediaAdapter(bool startObservers, Environment environment)
    : environment_(std::move(environment)),
      elapsedCapturedAt_(environment_.clock()),
      queue_(dispatch::SerialQueue::create(mediaKey)),
      scriptableQ_(dispatch::SerialQueue::create(kScriptableQueueLabel)),
      observersEnabled_(startObservers) {
    // The backend is the adapter's own, so its signal thread ends with the
    // adapter rather than racing the bus library's statics at exit.
    if (!environment_.fetch)
        environment_.fetch = [this](media::MediaRemoteNowPlaying::FetchDone done) {
            media::fetchNowPlaying(library(), std::move(done));
        };
    if (!environment_.bundleRunning)
        environment_.bundleRunning = [this](const std::string& bundleId) {
            const auto& backend = library();
            return backend && backend->apps.bundleRunning(bundleId);
        };
    if (!environment_.helperURL) environment_.helperURL = besideProgram;
    if (!environment_.scripts) environment_.scripts = std::make_shared<script::NoScriptHost>();
}

MacMediaAdapter::~MacMediaAdapter() = default;

const std::shared_ptr<media::MediaRemoteLibrary>& MacMediaAdapter::library() {
    // Once, from whichever queue asks first: the player queries check for
    // running players off the adapter queue.
    std::call_once(libraryOnce_, [this] {
        library_ = media::openMediaRemoteLibrary([relay = playersChanged_] {
            if (auto changed = relay->get()) (*changed)();
        });
    });
    return library_;
}

bool MacMediaAdapter::onAdapterQueue() { return dispatch::DispatchQueue::currentLabel() == mediaKey; }

void MacMediaAdapter::sync(const std::function<void()>& work) const { queue_->sync(work); }

double MacMediaAdapter::now() const { return toSeconds(environment_.clock()); }

void MacMediaAdapter::setQQState(bool isRunning, std::optional<Snapshot> playbackStatus) {
    qqIsRunning_ = isRunning;
    qqPlaybackStatus_ = std::move(playbackStatus);
}

bool MacMediaAdapter::likeSupported() const {
    const auto id = bundleId_.wrappedValue();
    for (const char* player : {kMusic, kSpotify, kQQMusic, "com.netease.163music"})
        if (is(id, player)) return true;
    return liked_.wrappedValue().has_value();
}

void MacMediaAdapter::publishArtwork(const std::optional<PNGData>& bytes) {
    const Artwork current = artworkPNG_.wrappedValue();
    if (!bytes) {
        if (current) artworkPNG_.setWrappedValue(nullptr);
    } else if (!current || *current != *bytes) {
        artworkPNG_.setWrappedValue(std::make_shared<const PNGData>(*bytes));
    }
}

void MacMediaAdapter::send(Command command, int fallbackKey) {
    queue_->async([weak = weak_from_this(), command, fallbackKey] {
        auto self = weak.lock();
        if (!self) return;
        const auto id = self->bundleId_.wrappedValue();
        if (const auto application = media::ScriptablePlayers::applicationName(id);
            application && self->environment_.bundleRunning(*id) && self->scriptableTransport(*application, command)) {
            self->refreshAfter(0.2);
            return;
        }
        std::optional<mpris::PlayerCommand> method;
        switch (command) {
            case Command::play: method = mpris::PlayerCommand::play; break;
            case Command::pause: method = mpris::PlayerCommand::pause; break;
            case Command::togglePlayPause: method = mpris::PlayerCommand::playPause; break;
            case Command::stop: method = mpris::PlayerCommand::stop; break;
            case Command::nextTrack: method = mpris::PlayerCommand::next; break;
            case Command::previousTrack: method = mpris::PlayerCommand::previous; break;
            default: break;  // no rating and no bare seek on the player bus
        }
        const auto& backend = self->library();
        const bool accepted = method && backend && backend->service.send(*method, commandTimeout());
        if (!accepted) postMediaKey(fallbackKey);
        self->refreshAfter(0.25);
    });
}

void MacMediaAdapter::postMediaKey(int key) {
    switch (key) {
        case 16: x11::postMediaKey(x11::MediaKey::play); break;
        case 17: x11::postMediaKey(x11::MediaKey::next); break;
        case 18: x11::postMediaKey(x11::MediaKey::previous); break;
        default: break;
    }
}

void MacMediaAdapter::refreshAfter(double seconds) {
    queue_->asyncAfter(dispatch::seconds(seconds), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->refresh();
    });
}

void MacMediaAdapter::seek(double to) {
    double target = std::isfinite(to) && to > 0 ? to : 0;
    if (const double length = duration_.wrappedValue(); length > 0 && target > length) target = length;
    queue_->async([weak = weak_from_this(), target] {
        auto self = weak.lock();
        if (!self) return;
        // The answers are not consulted: the optimistic position stands
        // until a reading agrees or it expires.
        const auto id = self->bundleId_.wrappedValue();
        if (const auto application = media::ScriptablePlayers::applicationName(id);
            application && self->environment_.bundleRunning(*id))
            self->scripts().run(media::ScriptablePlayers::seekScript(*application, target),
                                media::ScriptablePlayers::kCommandTimeout);
        if (const auto& backend = self->library()) backend->service.setPosition(target, commandTimeout());
    });
    optimisticSeek(target);
    refreshAfter(0.2);
}

void MacMediaAdapter::optimisticSeek(double target) {
    queue_->async([weak = weak_from_this(), target] {
        auto self = weak.lock();
        if (!self) return;
        const Date at = self->environment_.clock();
        self->seekOverride_ = Seek{target, toSeconds(at)};
        self->elapsed_.setWrappedValue(target);
        self->elapsedCapturedAt_.setWrappedValue(at);
        self->elapsedKnown_.setWrappedValue(true);
        self->changed();
    });
}

void MacMediaAdapter::optimisticLike(bool target) {
    queue_->async([weak = weak_from_this(), target] {
        auto self = weak.lock();
        if (!self) return;
        self->likedOverride_ = Like{target, self->now()};
        self->liked_.setWrappedValue(target);
        self->changed();
    });
}

void MacMediaAdapter::setLiked(std::optional<bool> requested) {
    const bool target = requested.value_or(!liked_.wrappedValue().value_or(false));
    queue_->async([weak = weak_from_this(), target] {
        auto self = weak.lock();
        if (!self) return;
        const bool accepted = self->likeThroughPlayer(self->bundleId_.wrappedValue(), target);
        // The remote like command has no counterpart on the player bus (no
        // rating there), so it is never accepted. Only an accepted like is
        // shown: no reading would ever correct a guess.
        if (accepted) self->optimisticLike(target);
        self->refreshAfter(0.35);
    });
}

void MacMediaAdapter::refresh() {
    if (!onAdapterQueue()) {
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->refresh();
        });
        return;
    }
    if (!watchProcess_ || !watchProcess_->isRunning()) {
        startNowPlayingWatch();
        if (auto reading = scriptableNowPlaying())
            applyOnQueue(std::move(reading), std::nullopt, false, false);
        else
            fetchViaHelper();
    }
    environment_.fetch([weak = weak_from_this()](std::optional<Snapshot> reading, bool nothingPlays) {
        auto self = weak.lock();
        if (!self) return;
        if (reading) {
            self->apply(std::move(reading), std::nullopt, false, true);
        } else if (nothingPlays) {
            // No player plays or pauses: the empty reading, which no watcher
            // line of ours would ever give otherwise.
            self->queue_->async([weak] {
                if (auto adapter = weak.lock()) adapter->handleEmptyReading();
            });
        }
    });
}

bool MacMediaAdapter::shouldApplyIngress(const Snapshot& snapshot) const {
    if (snapshot.isPlaying || !isPlaying_.wrappedValue()) return true;
    const auto shownBundle = bundleId_.wrappedValue();
    if (!shownBundle) return true;
    if (!snapshot.bundleId) return false;
    return *snapshot.bundleId == *shownBundle;
}

bool MacMediaAdapter::canQueryNative(const std::string& bundleId) const {
    if (bundleId == kMusic && musicScriptableDenied_) return false;
    if (bundleId == kSpotify && spotifyScriptableDenied_) return false;
    if (nativeScriptableSnapshot) return true;
    if (observersEnabled_) return environment_.bundleRunning(bundleId);
    return false;
}

double MacMediaAdapter::interpolatedElapsed(Date at) const {
    double position = elapsed_.wrappedValue();
    const Date captured = elapsedCapturedAt_.wrappedValue();
    const bool playing = isPlaying_.wrappedValue();
    const double rate = playbackRate_.wrappedValue();
    const double duration = duration_.wrappedValue();
    if (playing) position += std::chrono::duration<double>(at - captured).count() * (rate > 0 ? rate : 1.0);
    if (!(position >= 0)) position = 0;
    if (duration > 0 && position > duration) position = duration;
    return position;
}

Snapshot MacMediaAdapter::shown() const {
    Snapshot s;
    s.title = title_.wrappedValue();
    s.artist = artist_.wrappedValue();
    s.album = album_.wrappedValue();
    s.source = source_.wrappedValue();
    s.bundleId = bundleId_.wrappedValue();
    s.isPlaying = isPlaying_.wrappedValue();
    return s;
}

std::optional<std::string> MacMediaAdapter::scriptableIdentityBundleId(const Snapshot& s) {
    return media::ScriptablePlayers::scriptableIdentityBundleId(s);
}

void MacMediaAdapter::apply(std::optional<Snapshot> snapshot, std::optional<double> rawElapsed, bool forceAnchor,
                            bool allowNativeReconcile) {
    if (onAdapterQueue()) {
        applyOnQueue(std::move(snapshot), rawElapsed, forceAnchor, allowNativeReconcile);
        return;
    }
    queue_->async([weak = weak_from_this(), snapshot = std::move(snapshot), rawElapsed, forceAnchor,
                   allowNativeReconcile]() mutable {
        if (auto self = weak.lock())
            self->applyOnQueue(std::move(snapshot), rawElapsed, forceAnchor, allowNativeReconcile);
    });
}

void MacMediaAdapter::applyOnQueue(std::optional<Snapshot> incoming, std::optional<double> rawElapsed, bool forceAnchor,
                                   bool allowNativeReconcile) {
    // What was shown.
    const Date nowDate = environment_.clock();
    const double nowSeconds = toSeconds(nowDate);
    const Snapshot before = shown();
    const bool wasPlaying = isPlaying_.wrappedValue();
    const bool wasKnown = elapsedKnown_.wrappedValue();
    const double prevDuration = duration_.wrappedValue();
    const auto prevArtwork = artworkPNG_.wrappedValue();
    const auto prevLiked = liked_.wrappedValue();
    const double prevElapsed = interpolatedElapsed(nowDate);
    auto notify = [&] { notifyIfChanged(before, forceAnchor, prevElapsed, wasKnown, prevArtwork, prevLiked, nowDate); };

    if (!incoming) {
        ++trackResyncGeneration_;
        title_.setWrappedValue(std::nullopt);
        artist_.setWrappedValue(std::nullopt);
        album_.setWrappedValue(std::nullopt);
        source_.setWrappedValue(std::nullopt);
        bundleId_.setWrappedValue(std::nullopt);
        artworkPNG_.setWrappedValue(nullptr);
        setLyrics(std::nullopt);
        liked_.setWrappedValue(std::nullopt);
        lyricsKey_.reset();
        lyricsForTitle_.reset();
        likedOverride_.reset();
        seekOverride_.reset();
        songMid_.reset();
        albumMid_.reset();
        artworkKey_.reset();
        isPlaying_.setWrappedValue(false);
        elapsedKnown_.setWrappedValue(false);
        duration_.setWrappedValue(0);
        elapsed_.setWrappedValue(0);
        playbackRate_.setWrappedValue(0);
        elapsedCapturedAt_.setWrappedValue(nowDate);
        notify();
        return;
    }
    Snapshot reading = std::move(*incoming);
    sanitize(reading, nowSeconds);

    // QQ Music readings count only while it runs, with its own transport
    // state overriding.
    if (isQQ(reading)) {
        if (!qqIsRunning_) return;
        reading = enrichQQ(reading);
        reading = Playhead::reconcilePlayback(reading, qqPlaybackStatus_, rawElapsed, nowSeconds);
    }

    if (!shouldApplyIngress(reading)) return;

    // QQ Music still names the shown track well into it: a reading of
    // another track at its very start is a stale source.
    if (qqIsRunning_ && qqPlaybackStatus_) {
        const Snapshot& q = *qqPlaybackStatus_;
        if (Playhead::sameTrack(q.title, before.title, q.artist, before.artist) &&
            !Playhead::sameTrack(reading.title, before.title, reading.artist, before.artist) && reading.elapsed < 1.2 &&
            prevElapsed > 8.0)
            return;
    }

    // An untitled QQ Music reading carries only its play state.
    if (blank(reading.title) && isQQ(reading)) {
        if (!is(before.bundleId, kQQMusic)) return;
        isPlaying_.setWrappedValue(reading.isPlaying);
        if (reading.isPlaying) {
            const double rate = playbackRate_.wrappedValue();
            playbackRate_.setWrappedValue(std::max(rate == 0 ? 1.0 : rate, 1.0));
        } else {
            playbackRate_.setWrappedValue(0);
            elapsed_.setWrappedValue(prevElapsed);
            elapsedCapturedAt_.setWrappedValue(nowDate);
        }
        if (reading.isPlaying != wasPlaying) changed();
        return;
    }

    if (Playhead::sameTrack(reading.title, before.title, reading.artist, before.artist) ||
        (isQQ(reading) &&
         Playhead::sameTitleCompatibleArtists(reading.title, before.title, reading.artist, before.artist)))
        reading.artist = Playhead::richerArtist(before.artist, reading.artist);

    const bool same =
        Playhead::sameRecording(reading.title, before.title, reading.artist, before.artist, reading.album, before.album,
                                reading.source, before.source, reading.bundleId, before.bundleId);
    const bool compat = isQQ(reading) && Playhead::sameTitleCompatibleArtists(reading.title, before.title,
                                                                              reading.artist, before.artist);
    bool shownTrack = same || compat;
    // A fetch whose application lookup missed its deadline names no player:
    // the shown track keeps its own rather than flickering to none.
    if (shownTrack && !reading.source && !reading.bundleId) {
        reading.source = before.source;
        reading.bundleId = before.bundleId;
    }

    // The check against the player's own answer; a reading of the shown
    // track waits for it.
    auto nativeCheckHolds = [&] {
        const auto b = scriptableIdentityBundleId(reading);
        if (!b || !canQueryNative(*b)) return false;
        scheduleNativeIdentityReconcile(reading, *b, rawElapsed, forceAnchor);
        return shownTrack;
    };

    if (shownTrack && isQQ(reading) && reading.isPlaying) {
        // QQ Music keeps reporting a track that has reached its end.
        if (prevDuration > 5.0 && wasKnown && std::clamp(prevElapsed, 0.0, prevDuration) >= prevDuration - 0.4) {
            std::optional<media::QQNowPlaying::LibraryTrack> next;
            if (songMid_) next = qqNextLibraryTrack(*songMid_);
            if (next && !Playhead::sameTrack(next->title, reading.title, next->artist, reading.artist)) {
                reading.title = next->title;
                reading.artist = next->artist;
                reading.album = next->album;
                reading.songMid = next->songMid;
                reading.albumMid = next->albumMid;
                reading.duration = next->duration;
                reading.elapsed = 0;
                reading.elapsedKnown = true;
                reading.capturedAt = nowSeconds;
                reading.isPlaying = true;
                shownTrack = false;
            } else {
                reading.elapsed = prevDuration;
                reading.elapsedKnown = false;
                reading.capturedAt = nowSeconds;
                qqAwaitingHop_ = true;
            }
        }
        if (shownTrack && allowNativeReconcile && !wasPlaying && nativeCheckHolds()) return;
    } else if (shownTrack) {
        if (allowNativeReconcile && reading.isPlaying != wasPlaying && nativeCheckHolds()) return;
    }

    if (!shownTrack) {
        qqAwaitingHop_ = false;
        ++trackResyncGeneration_;
        lastPushedLyricIndex_ = std::numeric_limits<std::int64_t>::min();
        likedOverride_.reset();
        seekOverride_.reset();
        karaokeLine_.setWrappedValue(std::nullopt);
        setLyrics(std::nullopt);
        lyricsKey_.reset();
        lyricsForTitle_.reset();
        songMid_.reset();
        albumMid_.reset();
        artworkKey_.reset();
        if (!reading.artwork) {
            const bool keep = Playhead::sameTrack(reading.title, before.title, reading.artist, before.artist) &&
                              ((!reading.bundleId && !before.bundleId) ||
                               (reading.bundleId && before.bundleId && *reading.bundleId == *before.bundleId &&
                                *reading.bundleId != kQQMusic));
            if (!keep) artworkPNG_.setWrappedValue(nullptr);
        }
        if (reading.duration <= 0) duration_.setWrappedValue(0);
        if (allowNativeReconcile) nativeCheckHolds();  // a new track is applied at once all the same
    }

    // Music and Spotify report 0 for a moment around some changes.
    if (!forceAnchor && shownTrack && (is(reading.bundleId, kMusic) || is(reading.bundleId, kSpotify)) &&
        reading.elapsedKnown && reading.elapsed < 0.45 && wasKnown && prevElapsed > 1.0)
        reading.elapsedKnown = false;

    // A seek just sent wins over readings that do not agree with it yet. The
    // seek target moves on with the playhead: compared frozen, every correct
    // reading while playing would be pulled back to it.
    if (seekOverride_) {
        const double age = nowSeconds - seekOverride_->at;
        if (age < kSeekOverrideLifetime) {
            const double rate = reading.playbackRate > 0 ? reading.playbackRate : 1.0;
            double position = reading.elapsed;
            if (reading.isPlaying) position += (nowSeconds - reading.capturedAt) * rate;
            const double bound = reading.duration > 0 ? reading.duration : duration_.wrappedValue();
            position = std::max(position, 0.0);
            if (bound > 0) position = std::min(position, bound);
            const double target = seekOverride_->position + (reading.isPlaying ? age * rate : 0.0);
            if (std::fabs(position - target) >= kSeekAgreement) {
                reading.elapsed = target;
                reading.capturedAt = nowSeconds;
                reading.elapsedKnown = true;
            } else {
                seekOverride_.reset();
            }
        } else {
            seekOverride_.reset();
        }
    }

    // Merge and publish.
    bool stale = false;
    bool mergeForce = forceAnchor;
    if (!shownTrack) {
        stale = reading.elapsedKnown && Playhead::staleRolloverElapsed(reading.elapsed, prevElapsed, prevDuration);
        mergeForce = forceAnchor || (reading.elapsedKnown && !stale);
    }
    const bool hold = qqAwaitingHop_ && isQQ(reading) && !reading.elapsedKnown;
    Playhead::Current current;
    current.title = title_.wrappedValue();
    current.artist = artist_.wrappedValue();
    current.elapsed = elapsed_.wrappedValue();
    current.captured = toSeconds(elapsedCapturedAt_.wrappedValue());
    current.playing = isPlaying_.wrappedValue();
    current.rate = playbackRate_.wrappedValue();
    current.duration = duration_.wrappedValue();
    current.album = album_.wrappedValue();
    current.source = source_.wrappedValue();
    current.bundleId = bundleId_.wrappedValue();
    Snapshot merged = Playhead::merge(reading, current, nowSeconds, mergeForce);
    if (hold || stale) {
        merged.elapsed = hold ? prevDuration : 0;
        merged.capturedAt = nowSeconds;
        merged.elapsedKnown = false;
    }

    title_.setWrappedValue(merged.title);
    artist_.setWrappedValue(merged.artist);
    album_.setWrappedValue(merged.album);
    source_.setWrappedValue(merged.source);
    bundleId_.setWrappedValue(merged.bundleId);
    isPlaying_.setWrappedValue(merged.isPlaying);
    if (merged.duration > 0) duration_.setWrappedValue(merged.duration);
    elapsed_.setWrappedValue(merged.elapsed);
    elapsedCapturedAt_.setWrappedValue(toDate(merged.capturedAt));
    // A known position is not lost to one reading without one.
    elapsedKnown_.setWrappedValue(shownTrack && !merged.elapsedKnown && wasKnown ? !qqAwaitingHop_
                                                                                 : merged.elapsedKnown);
    playbackRate_.setWrappedValue(merged.playbackRate != 0 ? merged.playbackRate : (merged.isPlaying ? 1.0 : 0.0));
    if (merged.songMid && !merged.songMid->empty()) songMid_ = merged.songMid;
    if (merged.albumMid && !merged.albumMid->empty()) albumMid_ = merged.albumMid;

    considerLyrics(merged);

    if (merged.artwork && !merged.artwork->empty() && merged.artwork->size() <= kMaxArtworkBytes) {
        publishArtwork(merged.artwork);
    } else if (merged.bundleId &&
               (*merged.bundleId == kQQMusic || merged.bundleId->find("QQMusic") != std::string::npos)) {
        considerQQCover(merged);
        const auto artwork = artworkPNG_.wrappedValue();
        if (!artwork || artwork->empty()) considerStoreCover(merged);
    } else if (is(merged.bundleId, kMusic) || is(merged.bundleId, kSpotify)) {
        considerStoreCover(merged);
    }

    available_.setWrappedValue(true);

    if (!merged.liked) {
        if (likedOverride_ && nowSeconds - likedOverride_->at < kLikeOverrideLifetime)
            liked_.setWrappedValue(likedOverride_->value);
    } else if (likedOverride_ && nowSeconds - likedOverride_->at < kLikeOverrideLifetime &&
               likedOverride_->value != *merged.liked) {
        liked_.setWrappedValue(likedOverride_->value);
    } else {
        likedOverride_.reset();
        liked_.setWrappedValue(merged.liked);
    }

    if (!shownTrack) resyncNewTrack(merged);

    notify();
}

void MacMediaAdapter::notifyIfChanged(const Snapshot& before, bool forceAnchor, double prevElapsed, bool wasKnown,
                                      const Artwork& prevArtwork, const std::optional<bool>& prevLiked, Date nowDate) {
    const bool known = elapsedKnown_.wrappedValue();
    const bool changed = title_.wrappedValue() != before.title || artist_.wrappedValue() != before.artist ||
                         album_.wrappedValue() != before.album || source_.wrappedValue() != before.source ||
                         (forceAnchor && known) || isPlaying_.wrappedValue() != before.isPlaying ||
                         !sameArtwork(artworkPNG_.wrappedValue(), prevArtwork) || known != wasKnown ||
                         std::fabs(interpolatedElapsed(nowDate) - prevElapsed) > kNotifiedMove ||
                         liked_.wrappedValue() != prevLiked;
    if (changed) this->changed();
}

}  // namespace veltrane::deck
