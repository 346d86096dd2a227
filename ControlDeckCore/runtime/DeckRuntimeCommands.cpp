// Remote commands: carrying out a DeckCommand against the adapters, the
// timer engine, the screenshots folder and the clipboard history, and the
// REST command route.

#include <algorithm>
#include <exception>

#include "ControlDeckCore/runtime/DeckCommand.h"
#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/system/UUID.h"

namespace veltrane::deck {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

void requireFeature(bool enabled, const char* feature) {
    if (!enabled) throw DeckError::featureDisabled(feature);
}

constexpr double kVolumeStep = 0.05;
constexpr const char* kClipboardWriteFailed = "The clipboard could not be written.";

}  // namespace

Json DeckRuntime::execute(const DeckCommand& command) {
    using C = DeckCommand;
    VolumeControlling& volume = *adapters_.volume;
    MediaControlling& media = *adapters_.media;
    auto volumeResult = [&](bool withOutputs) {
        Json result{{"volume", volume.volume()}, {"muted", volume.isMuted()}};
        if (withOutputs) result["outputs"] = audioOutputs();
        return result;
    };
    auto writeClipboard = [&](const std::string& text) {
        requireFeature(settings_.clipboardEnabled, "Clipboard");
        try {
            adapters_.clipboard->writeString(text);
        } catch (const DeckError&) {
            throw;
        } catch (const std::exception&) {
            throw DeckError::invalidState(kClipboardWriteFailed);
        }
        // Only a write that happened is remembered.
        recordClipboard(text);
        return Json{{"copied", true}};
    };

    return std::visit(
        Overloaded{
            [&](const C::SetVolume& c) {
                volume.setVolume(c.level, c.deviceId);
                return volumeResult(true);
            },
            [&](const C::VolumeUp&) {
                bumpVolume(kVolumeStep);
                return volumeResult(true);
            },
            [&](const C::VolumeDown&) {
                bumpVolume(-kVolumeStep);
                return volumeResult(true);
            },
            [&](const C::SetMute& c) {
                volume.setMuted(c.muted);
                return volumeResult(false);
            },
            [&](const C::ToggleMute&) {
                volume.setMuted(!volume.isMuted());
                return volumeResult(false);
            },
            [&](const C::SetOutputDevice& c) {
                volume.selectOutput(c.deviceId);
                return Json{{"deviceId", c.deviceId}, {"outputs", audioOutputs()}};
            },
            [&](const C::SetBrightness& c) {
                adapters_.brightness->setBrightness(c.level, c.displayId);
                return Json{{"displayId", c.displayId}, {"brightness", c.level}, {"displays", displayOutputs()}};
            },
            [&](const C::MediaPlayPause&) {
                requireFeature(settings_.mediaEnabled, "Media");
                media.playPause();
                return Json{{"playing", media.isPlaying()}};
            },
            [&](const C::MediaNext&) {
                requireFeature(settings_.mediaEnabled, "Media");
                media.nextTrack();
                return Json{{"ok", true}};
            },
            [&](const C::MediaPrevious&) {
                requireFeature(settings_.mediaEnabled, "Media");
                media.previousTrack();
                return Json{{"ok", true}};
            },
            [&](const C::MediaSeek& c) {
                requireFeature(settings_.mediaEnabled, "Media");
                media.seek(c.position);
                return Json{{"elapsed", media.elapsed()}, {"elapsedKnown", media.elapsedKnown()}};
            },
            [&](const C::MediaLike& c) {
                requireFeature(settings_.mediaEnabled, "Media");
                media.setLiked(c.liked);
                std::optional<bool> liked = media.liked();
                return Json{{"liked", liked ? Json(*liked) : Json(nullptr)}};
            },
            [&](const C::OpenApplication& c) {
                withApps([&](AppLaunching& apps) { apps.open(c.application); });
                return Json{{"application", c.application}};
            },
            [&](const C::OpenURL& c) {
                adapters_.links->openURL(c.url);
                return Json{{"url", c.url}};
            },
            [&](const C::OpenFolder& c) {
                adapters_.links->openPath(c.path);
                return Json{{"path", c.path}};
            },
            [&](const C::OpenFile& c) {
                adapters_.links->openPath(c.path);
                return Json{{"path", c.path}};
            },
            [&](const C::RunShortcut& c) {
                adapters_.shortcuts->run(c.name);
                return Json{{"name", c.name}};
            },
            [&](const C::LockMac&) {
                adapters_.lock->lock();
                return Json{{"locked", true}};
            },
            [&](const C::CopyText& c) { return writeClipboard(c.text); },
            [&](const C::SetClipboard& c) { return writeClipboard(c.text); },
            [&](const C::StartTimer& c) {
                DeckTimer timer = timers_.start(c.seconds, c.label);
                return Json{{"id", timer.id}, {"remaining", timer.remaining}};
            },
            [&](const C::PauseTimer& c) {
                timers_.pause(c.id);
                return Json{{"id", c.id}};
            },
            [&](const C::ResumeTimer& c) {
                timers_.resume(c.id);
                return Json{{"id", c.id}};
            },
            [&](const C::CancelTimer& c) {
                timers_.timers.erase(c.id);
                if (timers_.onChange) timers_.onChange();
                return Json{{"id", c.id}};
            },
            [&](const C::TakeScreenshot& c) { return takeScreenshot(c.mode); },
            [&](const C::RefreshApps&) {
                withApps([](AppLaunching& apps) { apps.refresh(); });
                return Json{{"apps", appsPayload()}};
            },
            [&](const C::ClearClipboardHistory&) {
                clipboardHistory_.clear();
                saveClipboardHistory();
                return Json{{"cleared", true}};
            },
        },
        command.value());
}

Json DeckRuntime::takeScreenshot(const std::string& mode) {
    requireFeature(settings_.screenshotsEnabled, "Screenshots");
    PNGData png = adapters_.screenshot->capture(mode);
    const std::string id = sys::uuidString();
    // Throws when the file cannot be written whole, leaving no part of it.
    store_.saveScreenshot(id, png);
    lastScreenshotId_ = id;
    lastScreenshotAt_ = std::chrono::system_clock::now();
    store_.pruneScreenshots(kScreenshotsKept);
    return Json{{"id", id}, {"url", "/api/screenshots/" + id}};
}

void DeckRuntime::bumpVolume(double step) {
    VolumeControlling& volume = *adapters_.volume;
    std::vector<AudioOutput> outputs = volume.outputs();
    auto current = std::find_if(outputs.begin(), outputs.end(), [](const AudioOutput& o) { return o.current; });
    double level = (current != outputs.end() ? current->volume : volume.volume()) + step;
    level = std::clamp(level, 0.0, 1.0);
    volume.setVolume(level, current != outputs.end() ? std::optional<std::string>(current->id) : std::nullopt);
}

void DeckRuntime::recordClipboard(const std::string& text) {
    if (!settings_.clipboardHistoryEnabled) return;
    clipboardHistory_.insert(clipboardHistory_.begin(),
                             ClipboardHistoryItem{sys::uuidString(), text, std::chrono::system_clock::now()});
    const auto limit = static_cast<std::size_t>(std::max<std::int64_t>(settings_.clipboardHistoryMax, 1));
    if (clipboardHistory_.size() > limit) clipboardHistory_.resize(limit);
    saveClipboardHistory();
}

void DeckRuntime::saveClipboardHistory() {
    Json list = Json::array();
    for (const ClipboardHistoryItem& item : clipboardHistory_) list.push_back(item.encode());
    store_.write(FileStore::clipboardHistoryFile, list);
}

HTTPResponse DeckRuntime::dispatchCommand(const std::string& body, const AuthContext&) {
    Json result = execute(DeckCommand::parseData(body));
    broadcastState();
    return okWithoutCacheHeader(result);
}

}  // namespace veltrane::deck
