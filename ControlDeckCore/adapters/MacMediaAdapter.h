#pragma once
// The host computer's now-playing adapter. It follows the playing player
// through the watcher (`mirabeck --watch`, a child restarted when it ends) and
// its own reads of the player backend at each refresh, merges every reading
// in one place (`apply`) into the published cells with a steady playhead,
// and calls onChange when something a tablet sees has changed.
//
// Queues: "deck.media.adapter" owns every private field, the watcher and
// every merge; "deck.scriptable.clock" is kept for the player queries of the
// native identity check; "deck.qq.ax" runs QQ Music's poll; scripts,
// downloads and searches run on a shared background queue. The published values sit in one locked cell each,
// so any queue may read them at any time (two reads may straddle a merge).

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/MediaAdapterBase.h"
#include "ControlDeckCore/lyrics/LyricsService.h"
#include "ControlDeckCore/media/HelperLine.h"
#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "ControlDeckCore/media/QQNowPlaying.h"
#include "ControlDeckCore/shared/Callback.h"
#include "ControlDeckCore/shared/DeckClock.h"
#include "ControlDeckCore/shared/LockedValue.h"
#include "platform/notifications/NotificationCenter.h"

namespace veltrane::accessibility {
class AccessibilityTree;
}
namespace veltrane::apps {
class RunningApps;
}
namespace veltrane::script {
class ScriptHost;
}
namespace veltrane::dispatch {
class SerialQueue;
class DispatchTimer;
}
namespace veltrane::media {
struct MediaRemoteLibrary;
}
namespace veltrane::process {
class StreamingChild;
}
namespace veltrane::script {
class ScriptHost;
}

namespace veltrane::deck {

class MacMediaAdapter final : public MediaAdapterBase, public std::enable_shared_from_this<MacMediaAdapter> {
public:
    using Snapshot = media::MediaRemoteNowPlaying::Snapshot;
    using Command = media::MediaRemoteNowPlaying::Command;

    // The label of the adapter queue, which is also how code asks whether it
    // runs there (the queue-specific key).
    static constexpr const char* mediaKey = "deck.media.adapter";
    static constexpr const char* kScriptableQueueLabel = "deck.scriptable.clock";

    static constexpr double kWatchRestartDelay = 2.0;
    static constexpr double kHelperReadTimeout = 2.5;
    // The one-shot read keeps as much as the longest line the watcher stream
    // takes: a line can carry a 219,999-byte cover as Base64.
    static constexpr std::size_t kHelperReadBytes = media::WatchBuffer::kMaxPendingBytes;
    static constexpr std::size_t kMaxArtworkBytes = 219'999;

    // QQ Music as the poll, the merge and the resync read it; unset parts
    // take the defaults named.
    struct QQSources {
        // What runs (the player backend's applications), the player's window
        // (the session's accessibility bus, when it runs one) and the
        // automation host, which also answers the music app's upcoming-track
        // script (none on this desktop).
        std::shared_ptr<apps::RunningApps> apps;
        std::shared_ptr<accessibility::AccessibilityTree> windows;
        std::shared_ptr<script::ScriptHost> scripts;
        // The play queue (QQ Music's play-queue file).
        std::function<std::vector<media::QQNowPlaying::LibraryTrack>()> library;
        // The one-shot reader of a new track: its path ("nowplaying.js"
        // beside the program; none: no resync) and its run (the output of a
        // clean exit within 2 s, else none).
        std::function<std::optional<std::string>()> resyncScript;
        std::function<std::optional<std::string>(const std::string&)> runResyncScript;
    };
    // Where covers come from: the QQ image server by album id, the album id
    // by song id or by search, and the catalog's covers.
    struct CoverSources {
        std::function<std::optional<std::string>(const std::string&)> qqCover;
        std::function<lyrics::OptionalText(const std::string&)> qqAlbumMid;
        std::function<std::optional<media::QQNowPlaying::LibraryTrack>(const std::string&, const lyrics::OptionalText&,
                                                                       double)>
            findQQTrack;
        std::function<std::optional<std::string>(const std::string&, const lyrics::OptionalText&)> cachedCover;
        std::function<std::vector<lyrics::CatalogHit>(const std::string&, const lyrics::OptionalText&, double,
                                                      const lyrics::OptionalText&,
                                                      const std::vector<lyrics::OptionalText>&)>
            catalogHits;
        std::function<lyrics::OptionalText(const lyrics::OptionalText&)> artistAlias;
        std::function<std::optional<std::string>(const std::string&, double)> downloadData;
    };

    // What the adapter reaches outside itself; tests replace any part.
    struct Environment {
        DeckClock clock = systemNow;
        // The now-playing fetch and the running applications; by default
        // the session bus's players, opened at the first use.
        std::function<void(media::MediaRemoteNowPlaying::FetchDone)> fetch;
        std::function<bool(const std::string&)> bundleRunning;
        // The watcher and one-shot helper, `mirabeck`; none when absent.
        std::function<std::optional<std::string>()> helperURL;
        // The lyrics lookup; by default LyricsLookup::fetch.
        std::function<void(std::string_view, const lyrics::OptionalText&, const lyrics::OptionalText&, double,
                           const lyrics::OptionalText&, const lyrics::OptionalText&, lyrics::LyricsCompletion)>
            lyricsFetch;
        // The players' scripts; by default no host runs them.
        std::shared_ptr<script::ScriptHost> scripts;
        QQSources qq;
        CoverSources covers;
        // Players' change announcements: `changed` is to run after each one,
        // on any thread. By default the backend's, heard once it is open.
        std::function<void(std::function<void()> changed)> observePlayers;
        // Players' desktop-wide notifications; by default none on Linux.
        std::shared_ptr<notifications::NotificationCenter> distributedCenter;
    };

    // init(startObservers:): with `startObservers` the sources start at once,
    // else the first refresh() starts the watcher.
    static std::shared_ptr<MacMediaAdapter> create(bool startObservers, Environment environment);
    static std::shared_ptr<MacMediaAdapter> create(bool startObservers = true) {
        return create(startObservers, Environment());
    }
    ~MacMediaAdapter() override;

    std::optional<std::string> title() const override { return title_.wrappedValue(); }
    std::optional<std::string> artist() const override { return artist_.wrappedValue(); }
    std::optional<std::string> album() const override { return album_.wrappedValue(); }
    std::optional<std::string> source() const override { return source_.wrappedValue(); }
    bool isPlaying() const override { return isPlaying_.wrappedValue(); }
    std::optional<PNGData> artworkPNG() const override {
        auto artwork = artworkPNG_.wrappedValue();
        if (!artwork) return std::nullopt;
        return *artwork;
    }
    bool available() const override { return available_.wrappedValue(); }
    double duration() const override { return duration_.wrappedValue(); }
    double elapsed() const override { return elapsed_.wrappedValue(); }
    Date elapsedCapturedAt() const override { return elapsedCapturedAt_.wrappedValue(); }
    bool elapsedKnown() const override { return elapsedKnown_.wrappedValue(); }
    double playbackRate() const override { return playbackRate_.wrappedValue(); }
    std::optional<lyrics::LyricsSnapshot> lyrics() const override { return lyrics_.wrappedValue(); }
    std::optional<std::string> karaokeLine() const override { return karaokeLine_.wrappedValue(); }
    std::optional<bool> liked() const override { return liked_.wrappedValue(); }
    std::optional<std::string> bundleId() const { return bundleId_.wrappedValue(); }
    bool likeSupported() const override;
    std::shared_ptr<const PNGData> sharedArtwork() const override { return artworkPNG_.wrappedValue(); }
    void readLyrics(const std::function<void(const std::optional<lyrics::LyricsSnapshot>&)>& reader) const override {
        lyrics_.read(reader);
    }

    void playPause() override { send(Command::togglePlayPause, 16); }
    void nextTrack() override { send(Command::nextTrack, 17); }
    void previousTrack() override { send(Command::previousTrack, 18); }
    void seek(double to) override;
    void setLiked(std::optional<bool> liked) override;
    // Never waits: from another queue it only queues itself on the adapter
    // queue.
    void refresh() override;

    // The one merge of every reading (none: nothing plays). Runs at once on
    // the adapter queue, else is queued there.
    void apply(std::optional<Snapshot> snapshot, std::optional<double> rawElapsed, bool forceAnchor,
               bool allowNativeReconcile);
    // A paused reading of another player never interrupts the playing one.
    bool shouldApplyIngress(const Snapshot& snapshot) const;
    bool canQueryNative(const std::string& bundleId) const;
    // The published playhead projected to `now`, within 0 … duration.
    double interpolatedElapsed(Date now) const;
    // One watcher line; on the adapter queue.
    void ingestHelperLine(const std::string& line);

    // Whether the calling code runs on an adapter queue.
    static bool onAdapterQueue();
    // Runs `work` on the adapter queue and waits for it (tests, and callers
    // that need the private state settled).
    void sync(const std::function<void()>& work) const;

    // The one field outside code may set: answers the player queries
    // instead of a script. On the adapter queue.
    std::function<std::optional<Snapshot>(const std::string&)> nativeScriptableSnapshot;

    // The optimistic halves of a seek and a like command: the target is
    // shown at once and wins over readings that disagree for a moment.
    void optimisticSeek(double target);
    void optimisticLike(bool target);

    // QQ Music's running state and latest playback-status reading, kept by
    // its poll; on the adapter queue.
    void setQQState(bool isRunning, std::optional<Snapshot> playbackStatus);
    // One poll tick's outcome: whether QQ Music runs and what it shows. It is
    // taken for gone 2.5 s after a tick last saw it. On the adapter queue.
    void applyQQPoll(bool running, std::optional<Snapshot> snapshot, bool trusted);
    // A paused QQ Music reading does not replace another player on show.
    bool shouldApplyPassiveQQ(const Snapshot& snapshot) const;
    void applyPassiveQQSnapshot(const Snapshot& snapshot);

    // Lyrics worth publishing: synchronised lines, or plain text.
    static bool usableLyrics(const std::optional<lyrics::LyricsSnapshot>& snapshot);
    // The identity under which a reading's lyrics are remembered, given the
    // remembered QQ Music song and the published duration.
    static std::string lyricsTrackKey(const Snapshot& snapshot, const std::optional<std::string>& rememberedSongMid,
                                      double publishedDuration);

private:
    using Artwork = std::shared_ptr<const PNGData>;
    // Publishes `bytes`, keeping the cell as it is when they are the same.
    void publishArtwork(const std::optional<PNGData>& bytes);

    struct Seek {
        double position = 0;
        double at = 0;  // seconds since the reference date
    };
    struct Like {
        bool value = false;
        double at = 0;
    };

    MacMediaAdapter(bool startObservers, Environment environment);
    double now() const;

    void applyOnQueue(std::optional<Snapshot> snapshot, std::optional<double> rawElapsed, bool forceAnchor,
                      bool allowNativeReconcile);
    void notifyIfChanged(const Snapshot& shownBefore, bool forceAnchor, double prevElapsed, bool wasKnown,
                         const Artwork& prevArtwork, const std::optional<bool>& prevLiked, Date nowDate);
    // The shown track as a reading (identity fields and play state).
    Snapshot shown() const;
    // The bundle identifier whose player could confirm this reading.
    static std::optional<std::string> scriptableIdentityBundleId(const Snapshot& snapshot);

    // The watcher.
    void startNowPlayingWatch();
    void spawnWatch();
    std::optional<std::string> helperURL() const;
    void drainWatchBuffer(const std::string& bytes);
    void watchEnded(std::uint64_t serial);
    void handleEmptyReading();
    void fetchViaHelper();

    // Player notifications (MacMediaAdapterObservers.cpp). A burst of
    // announcements queues one refresh at a time, never a later one.
    void startObserving();
    void startDistributedObservers();
    void applyDistributed(const notifications::Notification& notification);
    bool observing_ = false;  // written once, during construction
    std::shared_ptr<Callback<void()>> playersChanged_ = std::make_shared<Callback<void()>>();
    std::shared_ptr<std::atomic<bool>> refreshQueued_ = std::make_shared<std::atomic<bool>>(false);

    // Seams of later work; each does nothing yet.
    void startQQPoll();
    Snapshot enrichQQ(const Snapshot& snapshot) const;
    std::optional<media::QQNowPlaying::LibraryTrack> qqNextLibraryTrack(const std::string& songMid) const;
    void considerQQCover(const Snapshot& snapshot);
    void considerStoreCover(const Snapshot& snapshot);
    void resyncNewTrack(const Snapshot& snapshot);
    void mergeResync(std::int64_t generation, const nlohmann::json& answer, const Snapshot& trigger);

    // Commands. Each runs on queue_, where a player's answer is awaited at
    // most 0.5 s; the caller's queue never waits.
    void send(Command command, int fallbackKey);
    static void postMediaKey(int key);
    void refreshAfter(double seconds);

    // The player backend of the default fetch; opened once, on queue_.
    const std::shared_ptr<media::MediaRemoteLibrary>& library();

    Environment environment_;
    std::shared_ptr<media::MediaRemoteLibrary> library_;
    std::once_flag libraryOnce_;

    // Published cells.
    LockedValue<std::optional<std::string>> title_;
    LockedValue<std::optional<std::string>> artist_;
    LockedValue<std::optional<std::string>> album_;
    LockedValue<std::optional<std::string>> source_;
    LockedValue<bool> isPlaying_{false};
    // Shared, not copied: every merge compares the cover, and covers run to
    // hundreds of kilobytes.
    LockedValue<Artwork> artworkPNG_;
    LockedValue<bool> available_{true};
    LockedValue<double> duration_{0};
    LockedValue<double> elapsed_{0};
    LockedValue<Date> elapsedCapturedAt_;
    LockedValue<bool> elapsedKnown_{false};
    LockedValue<double> playbackRate_{1.0};
    LockedValue<std::optional<lyrics::LyricsSnapshot>> lyrics_;
    LockedValue<std::optional<std::string>> karaokeLine_;
    LockedValue<std::optional<bool>> liked_;
    LockedValue<std::optional<std::string>> bundleId_;

    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::shared_ptr<dispatch::SerialQueue> scriptableQ_;

    // On queue_ only.
    std::optional<Like> likedOverride_;
    std::optional<Seek> seekOverride_;
    std::optional<std::string> lyricsKey_;
    std::optional<std::string> lyricsForTitle_;
    bool observersEnabled_;
    std::unique_ptr<process::StreamingChild> watchProcess_;
    std::uint64_t watchSerial_ = 0;  // tells the current watcher's reports from a former one's
    media::WatchBuffer watchBuffer_;
    std::int64_t lastPushedLyricIndex_ = std::numeric_limits<std::int64_t>::min();
    // The lyric clock and the lyrics of the current track.
    void startLyricClock();
    void armLyricClock();
    // Every change of the published lyrics goes through here, on queue_.
    void setLyrics(std::optional<lyrics::LyricsSnapshot> lyrics);
    void lyricClockFired();
    void considerLyrics(const Snapshot& snapshot);
    void lyricsArrived(const std::string& key, const std::string& title, const lyrics::OptionalSnapshot& result);
    void prefetchMusicUpcoming();
    void prefetchQQNeighbours(const std::string& songMid);
    bool lyricClockEnabled_ = false;                            // on queue_ only
    std::shared_ptr<dispatch::DispatchTimer> lyricClockTimer_;  // shared: its type stays incomplete here
    Date lyricsFetchedAt_ = Date::min();
    bool qqIsRunning_ = false;
    std::optional<Snapshot> qqPlaybackStatus_;
    bool qqAwaitingHop_ = false;
    std::optional<std::string> songMid_;
    std::optional<std::string> albumMid_;
    std::optional<std::string> artworkKey_;
    std::int64_t trackResyncGeneration_ = 0;

public:
    // The native reading with what only the watcher's reading knows (cover,
    // like state, QQ Music ids, album) where the native one lacks it.
    static Snapshot overlayCompatibleHelperDetail(const Snapshot& native, const Snapshot& helper);

private:
    // Scriptable players: polled by their own clock, asked by the native
    // identity check, and the first channel of commands while they run.
    void startScriptableClock();
    void scriptableClockFired();
    std::optional<Snapshot> scriptableNowPlaying();
    // Blocking: never on queue_ except for a refresh without a watcher.
    std::pair<std::optional<Snapshot>, std::optional<Snapshot>> queryScriptableCandidates();
    std::optional<Snapshot> queryMusic();
    std::optional<Snapshot> querySpotify();
    void applyScriptableCandidates(const std::optional<Snapshot>& music, const std::optional<Snapshot>& spotify,
                                   bool forceAnchor);
    bool scriptableAvailable(const std::string& bundleId) const;
    script::ScriptHost& scripts() const;
    bool scriptableTransport(const std::string& application, Command command);
    bool scriptableSetMusicLiked(bool liked);
    bool clickMenu(const std::vector<std::string>& processes, const std::vector<std::string>& menus,
                   const std::vector<std::string>& items);
    // The player's own channel of a like (script or menu); false when none
    // applies or none answered "ok".
    bool likeThroughPlayer(const std::optional<std::string>& bundleId, bool target);

    // The native identity check (player queries on scriptableQ_).
    void scheduleNativeIdentityReconcile(const Snapshot& candidate, const std::string& bundleId,
                                         std::optional<double> rawElapsed, bool forceAnchor);
    void finishNativeIdentityReconcile(const Snapshot& candidate, const std::optional<Snapshot>& native,
                                       std::optional<double> rawElapsed, bool forceAnchor);
    void reconcileEmptyHelperAgainstNative();

    std::shared_ptr<dispatch::DispatchTimer> scriptableTimer_;
    bool scriptableBusy_ = false;     // on queue_ only
    std::uint64_t scriptableGen_ = 0;  // on queue_ only
    // Written by whichever queue ran the query; only ever false to true.
    std::atomic<bool> musicScriptableDenied_{false};
    std::atomic<bool> spotifyScriptableDenied_{false};

    // QQ Music's poll and covers.
    struct QQPoll;
    std::shared_ptr<QQPoll> qqPoll_;
    std::optional<Date> qqGoneAt_;
    Date lastQQLog_ = Date::min();
    Date artworkRequestedAt_ = Date::min();
    std::optional<std::string> coverLookupKey_;
    Date coverLookupAt_ = Date::min();
    std::optional<std::string> storeCoverKey_;
    Date storeCoverAt_ = Date::min();
};

}  // namespace veltrane::deck
