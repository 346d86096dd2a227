#pragma once
// Stand-ins that the host set holds for a capability that has no host
// adapter on this computer: they report nothing and refuse every action with
// a clear error, so a real user never sees invented values or a success that
// did not happen. Each is replaced by its host adapter as that arrives.

#include <functional>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/MediaAdapterBase.h"
#include "ControlDeckCore/server/LockedValue.h"

namespace veltrane::deck {

// DeckError::invalidState "<capability> is not available on this computer."
[[noreturn]] void throwUnavailable(const std::string& capability);

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

class UnavailableAppLauncher : public AppLaunching {
public:
    std::vector<AppRecord> listApplications() override { return {}; }
    std::optional<PNGData> iconPNG(const std::string&) override { return std::nullopt; }
    void open(const std::string&) override;  // no installed application matches
    void refresh() override {}
};

class UnavailableScreenshot : public ScreenshotCapturing {
public:
    PNGData capture(const std::string&) override { throwUnavailable("Taking screenshots"); }
};

class UnavailableLock : public Locking {
public:
    void lock() override { throwUnavailable("Locking the screen"); }
};

class UnavailableClipboard : public ClipboardAccessing {
public:
    std::optional<std::string> readString() override { return std::nullopt; }
    void writeString(const std::string&) override { throwUnavailable("The clipboard"); }
};

class UnavailableShortcuts : public ShortcutRunning {
public:
    void run(const std::string& name) override;  // "Shortcut “<name>” could not be run."
};

class UnavailableLinks : public LinkOpening {
public:
    void openURL(const std::string&) override { throwUnavailable("Opening links"); }
    void openPath(const std::string&) override { throwUnavailable("Opening files"); }
};

// Announcing is best effort by contract: nothing to announce with.
class UnavailableNotifier : public TimerNotifying {
public:
    void timerFinished(const std::string&, const std::string&) override {}
};

class UnavailableBrightnessAdapter : public BrightnessControlling {
public:
    std::vector<DisplayOutput> displays() override { return {}; }
    void setBrightness(double, const std::string&) override;  // no display has any id
};

}  // namespace veltrane::deck
