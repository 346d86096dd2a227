// The scriptable players (the Music app and Spotify): their clock, their
// queries, the command channels through their scripts and System Events
// menus, and the native identity check that asks a player to confirm what
// the other sources report of it.
#include <chrono>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/media/Playhead.h"
#include "ControlDeckCore/media/ScriptablePlayers.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/script/ScriptHost.h"
#include "platform/text/Whitespace.h"

namespace veltrane::deck {
namespace {

using media::Playhead;
using media::ScriptablePlayers;
using Snapshot = MacMediaAdapter::Snapshot;

constexpr const char* kMusic = ScriptablePlayers::kMusicBundleId;
constexpr const char* kSpotify = ScriptablePlayers::kSpotifyBundleId;
constexpr const char* kQQMusic = "com.tencent.QQMusicMac";
constexpr const char* kNetEase = "com.netease.163music";

constexpr auto kScriptableClockInterval = std::chrono::milliseconds(80);
constexpr auto kScriptableClockLeeway = std::chrono::milliseconds(15);

// Where liking clicks in a player's menus: process names, menu-bar titles,
// then the items, each tried in this order.
struct LikeMenus {
    const char* bundleId;
    std::vector<std::string> processes;
    std::vector<std::string> menus;
    std::vector<std::string> like;
    std::vector<std::string> unlike;
};

const std::vector<LikeMenus>& likeMenus() {
    static const std::vector<LikeMenus> table = {
        {kQQMusic,
         {"QQ音乐", "QQMusic", "QQMusicMac"},
         {"播放控制", "Controls", "Playback"},
         {"喜欢歌曲", "Love", "Like"},
         {"取消喜欢", "Unlove", "Unlike", "喜欢歌曲", "Love", "Like"}},
        {kNetEase,
         {"网易云音乐", "NeteaseMusic"},
         {"播放", "Controls", "Playback"},
         {"喜欢音乐", "Like", "Love"},
         {"喜欢音乐", "Like", "Love"}},
        {kSpotify,
         {"Spotify"},
         {"Playback", "Song"},
         {"Save to Your Library", "Save", "Like"},
         {"Remove from Your Library", "Remove", "Unlike"}},
    };
    return table;
}

// The clock's queries block for seconds; they run beside everything else.
dispatch::ConcurrentQueue& queryQueue() {
    static const auto queue = dispatch::ConcurrentQueue::create("deck.scriptable.query");
    return *queue;
}

std::int32_t statusOf(const script::ScriptOutcome& outcome) {
    if (outcome.output) return 0;
    return outcome.timedOut ? ScriptablePlayers::kTimedOutStatus : 1;
}

std::string trimmed(const std::optional<std::string>& text) {
    return text ? std::string(text::trimmingWhitespaceAndNewlines(*text)) : std::string();
}

// Whether reading `a` names the same track as `b`.
bool sameIdentity(const Snapshot& a, const Snapshot& b) {
    return Playhead::sameRecording(a.title, b.title, a.artist, b.artist, a.album, b.album, a.source, b.source,
                                   a.bundleId, b.bundleId);
}

}  // namespace

script::ScriptHost& MacMediaAdapter::scripts() const { return *environment_.scripts; }

void MacMediaAdapter::startScriptableClock() {
    scriptableTimer_ = std::shared_ptr<dispatch::DispatchTimer>(dispatch::DispatchTimer::create(
        *queue_, kScriptableClockInterval, kScriptableClockLeeway, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->scriptableClockFired();
        }));
    scriptableTimer_->start(kScriptableClockInterval);
}

void MacMediaAdapter::scriptableClockFired() {
    if (scriptableBusy_) return;
    const bool worthIt = (!musicScriptableDenied_ && environment_.bundleRunning(kMusic)) ||
                         (!spotifyScriptableDenied_ && environment_.bundleRunning(kSpotify));
    if (!worthIt) return;
    scriptableBusy_ = true;
    const std::uint64_t generation = ++scriptableGen_;
    queryQueue().async([weak = weak_from_this(), queue = queue_, generation] {
        std::pair<std::optional<Snapshot>, std::optional<Snapshot>> candidates;
        if (auto self = weak.lock()) candidates = self->queryScriptableCandidates();
        queue->async([weak, generation, candidates = std::move(candidates)] {
            auto self = weak.lock();
            if (!self) return;
            self->scriptableBusy_ = false;
            if (self->scriptableGen_ == generation)
                self->applyScriptableCandidates(candidates.first, candidates.second, true);
        });
    });
}

bool MacMediaAdapter::scriptableAvailable(const std::string& bundleId) const {
    const bool denied = bundleId == kMusic ? musicScriptableDenied_.load() : spotifyScriptableDenied_.load();
    return !denied && (nativeScriptableSnapshot || environment_.bundleRunning(bundleId));
}

std::pair<std::optional<Snapshot>, std::optional<Snapshot>> MacMediaAdapter::queryScriptableCandidates() {
    const bool musicAvailable = scriptableAvailable(kMusic);
    const bool spotifyAvailable = scriptableAvailable(kSpotify);
    const auto selected = bundleId_.wrappedValue();
    // The selected player answering "playing" settles it: the other one is
    // not asked.
    if (selected == kMusic && musicAvailable) {
        auto music = queryMusic();
        if (music && music->isPlaying) return {std::move(music), std::nullopt};
        return {std::move(music), spotifyAvailable ? querySpotify() : std::nullopt};
    }
    if (selected == kSpotify && spotifyAvailable) {
        auto spotify = querySpotify();
        if ((!spotify || !spotify->isPlaying) && musicAvailable) return {queryMusic(), std::move(spotify)};
        return {std::nullopt, std::move(spotify)};
    }
    auto music = musicAvailable ? queryMusic() : std::nullopt;
    return {std::move(music), spotifyAvailable ? querySpotify() : std::nullopt};
}

std::optional<Snapshot> MacMediaAdapter::queryMusic() {
    if (musicScriptableDenied_) return std::nullopt;
    if (nativeScriptableSnapshot) return nativeScriptableSnapshot(kMusic);
    if (!environment_.bundleRunning(kMusic)) return std::nullopt;
    const auto& script = ScriptablePlayers::musicQueryScript();
    auto outcome = scripts().run(script, ScriptablePlayers::kMusicQueryTimeout);
    // The script answers empty when the track changed while it ran.
    if (outcome.output && trimmed(outcome.output).empty() && title_.wrappedValue())
        outcome = scripts().run(script, ScriptablePlayers::kMusicQueryTimeout);
    if (!outcome.output) {
        if (ScriptablePlayers::isAutomationDenied(statusOf(outcome), outcome.error, {})) musicScriptableDenied_ = true;
        return std::nullopt;
    }
    return ScriptablePlayers::parseScriptable(trimmed(outcome.output), ScriptablePlayers::kMusicSource, kMusic, false,
                                              now());
}

std::optional<Snapshot> MacMediaAdapter::querySpotify() {
    if (spotifyScriptableDenied_) return std::nullopt;
    if (nativeScriptableSnapshot) return nativeScriptableSnapshot(kSpotify);
    if (!environment_.bundleRunning(kSpotify)) return std::nullopt;
    const auto outcome =
        scripts().run(ScriptablePlayers::spotifyQueryScript(), ScriptablePlayers::kSpotifyQueryTimeout);
    if (!outcome.output) {
        if (ScriptablePlayers::isAutomationDenied(statusOf(outcome), outcome.error, {}))
            spotifyScriptableDenied_ = true;
        return std::nullopt;
    }
    return ScriptablePlayers::parseScriptable(trimmed(outcome.output), ScriptablePlayers::kSpotifySource, kSpotify,
                                              true, now());
}

std::optional<Snapshot> MacMediaAdapter::scriptableNowPlaying() {
    const auto [music, spotify] = queryScriptableCandidates();
    return ScriptablePlayers::chooseActiveScriptable(bundleId_.wrappedValue(), isPlaying_.wrappedValue(), music,
                                                     spotify);
}

void MacMediaAdapter::applyScriptableCandidates(const std::optional<Snapshot>& music,
                                                const std::optional<Snapshot>& spotify, bool forceAnchor) {
    const auto selected = bundleId_.wrappedValue();
    auto choice = ScriptablePlayers::chooseActiveScriptable(selected, isPlaying_.wrappedValue(), music, spotify);
    if (!choice) return;
    if (choice->isPlaying) {
        // The shown track again without a position adds nothing.
        const std::string title = trimmed(choice->title);
        if (!title.empty() && title == title_.wrappedValue().value_or("") &&
            Playhead::artistKey(choice->artist) == Playhead::artistKey(artist_.wrappedValue()) && !choice->elapsedKnown)
            return;
    } else if (!choice->elapsedKnown || choice->bundleId != selected || (selected != kMusic && selected != kSpotify)) {
        // A pause counts only from the player already shown.
        return;
    }
    apply(std::move(choice), std::nullopt, forceAnchor, false);
}

bool MacMediaAdapter::scriptableTransport(const std::string& application, Command command) {
    const auto script = ScriptablePlayers::transportScript(application, command);
    if (!script) return false;
    return scripts().run(*script, ScriptablePlayers::kCommandTimeout).output.has_value();
}

bool MacMediaAdapter::scriptableSetMusicLiked(bool liked) {
    const auto outcome = scripts().run(ScriptablePlayers::musicLikedScript(liked), ScriptablePlayers::kCommandTimeout);
    return outcome.output && trimmed(outcome.output) == "ok";
}

bool MacMediaAdapter::clickMenu(const std::vector<std::string>& processes, const std::vector<std::string>& menus,
                                const std::vector<std::string>& items) {
    for (const auto& process : processes)
        for (const auto& menu : menus)
            for (const auto& item : items) {
                const auto outcome = scripts().run(ScriptablePlayers::clickMenuScript(process, menu, item),
                                                   ScriptablePlayers::kCommandTimeout);
                if (outcome.output && trimmed(outcome.output) == "ok") return true;
            }
    return false;
}

bool MacMediaAdapter::likeThroughPlayer(const std::optional<std::string>& bundleId, bool target) {
    if (!bundleId) return false;
    if (*bundleId == kMusic) return environment_.bundleRunning(kMusic) && scriptableSetMusicLiked(target);
    for (const auto& row : likeMenus())
        if (*bundleId == row.bundleId)
            return environment_.bundleRunning(row.bundleId) &&
                   clickMenu(row.processes, row.menus, target ? row.like : row.unlike);
    return false;
}

Snapshot MacMediaAdapter::overlayCompatibleHelperDetail(const Snapshot& native, const Snapshot& helper) {
    Snapshot result = native;
    if (!result.artwork) result.artwork = helper.artwork;
    if (!result.liked) result.liked = helper.liked;
    if (!result.songMid || result.songMid->empty()) result.songMid = helper.songMid;
    if (!result.albumMid || result.albumMid->empty()) result.albumMid = helper.albumMid;
    if (trimmed(result.album).empty()) result.album = helper.album;
    return result;
}

void MacMediaAdapter::scheduleNativeIdentityReconcile(const Snapshot& candidate, const std::string& bundleId,
                                                      std::optional<double> rawElapsed, bool forceAnchor) {
    const std::int64_t generation = trackResyncGeneration_;
    scriptableQ_->async(
        [weak = weak_from_this(), queue = queue_, candidate, bundleId, rawElapsed, forceAnchor, generation] {
            std::optional<Snapshot> native;
            {
                auto self = weak.lock();
                if (!self) return;
                if (bundleId == kMusic) native = self->queryMusic();
                if (bundleId == kSpotify) native = self->querySpotify();
            }
            queue->async([weak, candidate, native = std::move(native), rawElapsed, forceAnchor, generation] {
                auto self = weak.lock();
                if (!self || self->trackResyncGeneration_ != generation) return;
                self->finishNativeIdentityReconcile(candidate, native, rawElapsed, forceAnchor);
            });
        });
}

void MacMediaAdapter::finishNativeIdentityReconcile(const Snapshot& candidate, const std::optional<Snapshot>& native,
                                                    std::optional<double> rawElapsed, bool forceAnchor) {
    if (native && native->title && !native->title->empty()) {
        if (sameIdentity(*native, candidate))
            apply(overlayCompatibleHelperDetail(*native, candidate), rawElapsed, forceAnchor, false);
        else
            apply(native, std::nullopt, false, false);  // the player's own answer wins
        return;
    }
    // An unconfirmed play-state change of the shown track is ignored.
    if (sameIdentity(candidate, shown()) && candidate.isPlaying != isPlaying_.wrappedValue()) return;
    apply(candidate, rawElapsed, forceAnchor, false);
}

void MacMediaAdapter::reconcileEmptyHelperAgainstNative() {
    const std::int64_t generation = trackResyncGeneration_;
    const auto noted = bundleId_.wrappedValue();
    scriptableQ_->async([weak = weak_from_this(), queue = queue_, generation, noted] {
        std::pair<std::optional<Snapshot>, std::optional<Snapshot>> candidates;
        {
            auto self = weak.lock();
            if (!self) return;
            candidates = self->queryScriptableCandidates();
        }
        queue->async([weak, generation, noted, candidates = std::move(candidates)] {
            auto self = weak.lock();
            if (!self || self->trackResyncGeneration_ != generation) return;
            const auto selected = self->bundleId_.wrappedValue();
            if (selected != noted) return;
            const auto& [music, spotify] = candidates;
            if (!ScriptablePlayers::chooseActiveScriptable(selected, self->isPlaying_.wrappedValue(), music, spotify))
                self->apply(std::nullopt, std::nullopt, false, true);
            else
                self->applyScriptableCandidates(music, spotify, true);
        });
    });
}

}  // namespace veltrane::deck
