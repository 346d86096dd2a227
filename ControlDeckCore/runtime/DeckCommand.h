#pragma once
// The remote commands a paired tablet may send, each with its arguments
// already read and checked. The same JSON object arrives as the body of
// POST /api/command and as the "payload" of a WebSocket "command" message.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

class DeckCommand {
public:
    // Cases in declaration order; levels are clamped to 0...1 by the parser.
    struct SetVolume {
        double level = 0;
        std::optional<std::string> deviceId;
        bool operator==(const SetVolume&) const = default;
    };
    struct SetMute {
        bool muted = false;
        bool operator==(const SetMute&) const = default;
    };
    struct SetOutputDevice {
        std::string deviceId;
        bool operator==(const SetOutputDevice&) const = default;
    };
    struct SetBrightness {
        std::string displayId;
        double level = 0;
        bool operator==(const SetBrightness&) const = default;
    };
    struct MediaSeek {
        double position = 0;  // finite, not negative, seconds
        bool operator==(const MediaSeek&) const = default;
    };
    struct MediaLike {
        std::optional<bool> liked;  // none: toggle
        bool operator==(const MediaLike&) const = default;
    };
    struct OpenApplication {
        std::string application;  // as sent, untrimmed
        bool operator==(const OpenApplication&) const = default;
    };
    struct OpenURL {
        std::string url;  // as sent
        bool operator==(const OpenURL&) const = default;
    };
    struct OpenFolder {
        std::string path;
        bool operator==(const OpenFolder&) const = default;
    };
    struct OpenFile {
        std::string path;
        bool operator==(const OpenFile&) const = default;
    };
    struct RunShortcut {
        std::string name;  // as sent, untrimmed
        bool operator==(const RunShortcut&) const = default;
    };
    struct CopyText {
        std::string text;
        bool operator==(const CopyText&) const = default;
    };
    struct SetClipboard {
        std::string text;
        bool operator==(const SetClipboard&) const = default;
    };
    struct StartTimer {
        std::int64_t seconds = 0;
        std::optional<std::string> label;
        bool operator==(const StartTimer&) const = default;
    };
    struct PauseTimer {
        std::string id;
        bool operator==(const PauseTimer&) const = default;
    };
    struct ResumeTimer {
        std::string id;
        bool operator==(const ResumeTimer&) const = default;
    };
    struct CancelTimer {
        std::string id;
        bool operator==(const CancelTimer&) const = default;
    };
    struct TakeScreenshot {
        std::string mode = "full";  // "full" or "window"
        bool operator==(const TakeScreenshot&) const = default;
    };
    struct VolumeUp {
        bool operator==(const VolumeUp&) const = default;
    };
    struct VolumeDown {
        bool operator==(const VolumeDown&) const = default;
    };
    struct ToggleMute {
        bool operator==(const ToggleMute&) const = default;
    };
    struct MediaPlayPause {
        bool operator==(const MediaPlayPause&) const = default;
    };
    struct MediaNext {
        bool operator==(const MediaNext&) const = default;
    };
    struct MediaPrevious {
        bool operator==(const MediaPrevious&) const = default;
    };
    struct LockMac {
        bool operator==(const LockMac&) const = default;
    };
    struct RefreshApps {
        bool operator==(const RefreshApps&) const = default;
    };
    struct ClearClipboardHistory {
        bool operator==(const ClearClipboardHistory&) const = default;
    };

    using Value = std::variant<SetVolume, SetMute, SetOutputDevice, SetBrightness, MediaSeek, MediaLike,
                               OpenApplication, OpenURL, OpenFolder, OpenFile, RunShortcut, CopyText, SetClipboard,
                               StartTimer, PauseTimer, ResumeTimer, CancelTimer, TakeScreenshot, VolumeUp, VolumeDown,
                               ToggleMute, MediaPlayPause, MediaNext, MediaPrevious, LockMac, RefreshApps,
                               ClearClipboardHistory>;

    static constexpr std::size_t commandCount = 27;
    static constexpr std::int64_t minTimerSeconds = 1;
    static constexpr std::int64_t maxTimerSeconds = 86'400;
    // Shortcut names must stay below this many user-perceived characters.
    static constexpr std::size_t shortcutNameLimit = 200;

    template <class Case>
        requires(!std::is_same_v<Case, DeckCommand> && std::is_constructible_v<Value, Case>)
    DeckCommand(Case c) : value_(std::move(c)) {}

    // The wire names, in the order the parser tests them.
    static const std::array<std::string_view, commandCount>& allowlist();

    // Reads a decoded JSON object. Throws DeckError: malformedPayload for a
    // missing, non-text or empty "type" and for any argument that breaks its
    // rule; invalidActionType (with the type as sent) for a name not allowed.
    static DeckCommand parse(const Json& object);
    // Decodes a raw body first; text that is not a JSON object is malformedPayload.
    static DeckCommand parseData(std::string_view body);

    // Absolute, no NUL, no "://", no ".." component.
    static bool isSafePath(std::string_view path);
    // Trimmed: not empty, under the length limit, no line feed, ";" or "`".
    static bool isSafeShortcutName(std::string_view name);
    // Parses as a URI whose scheme, in any letter case, is http or https.
    static bool isWebURL(std::string_view url);

    std::string_view typeName() const;
    const Value& value() const { return value_; }
    template <class Case>
    const Case* get() const {
        return std::get_if<Case>(&value_);
    }

    bool operator==(const DeckCommand&) const = default;

private:
    Value value_;
};

}  // namespace veltrane::deck
