#pragma once
// The stand-in that the host set holds for now-playing media until its host
// adapter arrives: it reports nothing, so a real user never sees invented
// values.

#include <functional>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/MediaAdapterBase.h"
#include "ControlDeckCore/shared/LockedValue.h"

namespace veltrane::deck {

// Nothing is playing; the playback commands have nothing to act on.
class UnavailableMediaAdapter : public MediaAdapterBase {
public:
    std::optional<std::string> title() const override { return std::nullopt; }
    std::optional<std::string> artist() const override { return std::nullopt; }
    std::optional<std::string> album() const override { return std::nullopt; }
    std::optional<std::string> source() const override { return std::nullopt; }
    bool isPlaying() const override { return false; }
    std::optional<PNGData> artworkPNG() const override { return std::nullopt; }
    bool available() const override { return false; }
    double duration() const override { return 0; }
    double elapsed() const override { return 0; }
    Date elapsedCapturedAt() const override { return createdAt_; }
    bool elapsedKnown() const override { return false; }
    double playbackRate() const override { return 0; }
    std::optional<lyrics::LyricsSnapshot> lyrics() const override { return std::nullopt; }
    std::optional<std::string> karaokeLine() const override { return std::nullopt; }
    std::optional<bool> liked() const override { return std::nullopt; }
    bool likeSupported() const override { return false; }
    void playPause() override {}
    void nextTrack() override {}
    void previousTrack() override {}
    void seek(double) override {}
    void setLiked(std::optional<bool>) override {}
    void refresh() override {}

private:
    const Date createdAt_ = std::chrono::system_clock::now();
};

}  // namespace veltrane::deck
