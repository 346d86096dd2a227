#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ControlDeckCore/adapters/MediaAdapterBase.h"
#include "ControlDeckCore/shared/LockedValue.h"

namespace veltrane::deck {

// A paused sample track with two synced lyric lines. Every operation calls
// onChange synchronously; onLyricClock is never called. The fields sit in one
// locked cell so the getters may be read from any queue, as the contract
// allows.
class FakeMediaAdapter : public MediaAdapterBase {
public:
    struct Fields {
        std::optional<std::string> title = "Sample Track";
        std::optional<std::string> artist = "Sample Artist";
        std::optional<std::string> album = "Sample Album";
        std::optional<std::string> source = "Music";
        bool isPlaying = false;
        std::optional<PNGData> artworkPNG;
        bool available = true;
        double duration = 200.0;
        double elapsed = 12.0;
        Date elapsedCapturedAt = std::chrono::system_clock::now();
        bool elapsedKnown = true;
        double playbackRate = 1.0;
        std::optional<lyrics::LyricsSnapshot> lyrics = lyrics::LyricsSnapshot{
            "test", true, {{0.0, "First sample line"}, {4.0, "Second sample line"}}, std::nullopt};
        std::optional<std::string> karaokeLine;
        std::optional<bool> liked = false;
        bool likeSupported = true;
    };

    // Readable and writable by anyone; writing calls no callback.
    LockedValue<Fields> fields;
    // One field, copied under the lock without the rest.
    template <class T>
    T field(T Fields::*member) const {
        return fields.read([member](const Fields& f) { return f.*member; });
    }

    std::optional<std::string> title() const override { return field(&Fields::title); }
    std::optional<std::string> artist() const override { return field(&Fields::artist); }
    std::optional<std::string> album() const override { return field(&Fields::album); }
    std::optional<std::string> source() const override { return field(&Fields::source); }
    bool isPlaying() const override { return field(&Fields::isPlaying); }
    std::optional<PNGData> artworkPNG() const override { return field(&Fields::artworkPNG); }
    bool available() const override { return field(&Fields::available); }
    double duration() const override { return field(&Fields::duration); }
    double elapsed() const override { return field(&Fields::elapsed); }
    Date elapsedCapturedAt() const override { return field(&Fields::elapsedCapturedAt); }
    bool elapsedKnown() const override { return field(&Fields::elapsedKnown); }
    double playbackRate() const override { return field(&Fields::playbackRate); }
    std::optional<lyrics::LyricsSnapshot> lyrics() const override { return field(&Fields::lyrics); }
    std::optional<std::string> karaokeLine() const override { return field(&Fields::karaokeLine); }
    std::optional<bool> liked() const override { return field(&Fields::liked); }
    bool likeSupported() const override { return field(&Fields::likeSupported); }
    void readLyrics(const std::function<void(const std::optional<lyrics::LyricsSnapshot>&)>& reader) const override {
        fields.read([&reader](const Fields& f) { reader(f.lyrics); });
    }

    void playPause() override;
    void nextTrack() override { changed(); }
    void previousTrack() override { changed(); }
    // Clamps to 0 and, when the duration is known, to the duration.
    void seek(double to) override;
    void setLiked(std::optional<bool> liked) override;  // none toggles; unknown counts as not liked
    void refresh() override {}
};

}  // namespace veltrane::deck
