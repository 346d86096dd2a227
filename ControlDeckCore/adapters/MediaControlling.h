#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ControlDeckCore/adapters/AdapterRecords.h"
#include "ControlDeckCore/lyrics/LyricsRecords.h"
#include "ControlDeckCore/shared/ISO8601.h"

namespace veltrane::deck {

// Now-playing media. The getters return the adapter's current values without
// blocking or side effects and may be called from any queue; two getters
// read one after the other need not come from the same moment.
class MediaControlling {
public:
    virtual ~MediaControlling() = default;

    virtual std::optional<std::string> title() const = 0;
    virtual std::optional<std::string> artist() const = 0;
    virtual std::optional<std::string> album() const = 0;
    virtual std::optional<std::string> source() const = 0;  // the playing application
    virtual bool isPlaying() const = 0;
    virtual std::optional<PNGData> artworkPNG() const = 0;
    virtual bool available() const = 0;
    virtual double duration() const = 0;  // seconds, 0 when unknown
    virtual double elapsed() const = 0;   // seconds, as it stood at elapsedCapturedAt
    virtual Date elapsedCapturedAt() const = 0;
    virtual bool elapsedKnown() const = 0;  // a real reading, not a placeholder
    virtual double playbackRate() const = 0;
    virtual std::optional<lyrics::LyricsSnapshot> lyrics() const = 0;
    virtual std::optional<std::string> karaokeLine() const = 0;  // the line the player shows
    virtual std::optional<bool> liked() const = 0;  // none when the source cannot tell
    virtual bool likeSupported() const = 0;

    // The state is written for every request and push: these read the two
    // large values without copying them where the adapter can. The cover as
    // a shared value (by default a copy of artworkPNG()).
    virtual std::shared_ptr<const PNGData> sharedArtwork() const {
        std::optional<PNGData> artwork = artworkPNG();
        return artwork ? std::make_shared<const PNGData>(std::move(*artwork)) : nullptr;
    }
    // Calls `reader` with the lyrics, possibly under the adapter's lock, so
    // `reader` must not call the adapter (by default with lyrics()).
    virtual void readLyrics(const std::function<void(const std::optional<lyrics::LyricsSnapshot>&)>& reader) const {
        reader(lyrics());
    }

    // Called, possibly from the adapter's own queues, after every change of
    // the media state it notices.
    virtual std::function<void()> onChange() const = 0;
    virtual void setOnChange(std::function<void()> callback) = 0;
    // Called when the lyric clock moves to another current line.
    virtual std::function<void(const lyrics::LyricClockTick&)> onLyricClock() const = 0;
    virtual void setOnLyricClock(std::function<void(const lyrics::LyricClockTick&)> callback) = 0;

    virtual void playPause() = 0;
    virtual void nextTrack() = 0;
    virtual void previousTrack() = 0;
    virtual void seek(double to) = 0;  // seconds
    virtual void setLiked(std::optional<bool> liked) = 0;  // none toggles
    virtual void refresh() = 0;  // re-reads the now-playing state; never throws
};

}  // namespace veltrane::deck
