#pragma once
// QQ Music read from what it shows: the playback bar of its window and its
// menus through the accessibility tree, else the automation host's script,
// completed from its play-queue file. Nothing here controls the player.

#include <chrono>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/media/QQNowPlaying.h"
#include "platform/accessibility/AccessibilityTree.h"
#include "platform/apps/RunningApps.h"
#include "platform/script/ScriptHost.h"

namespace veltrane::media::QQNowPlaying {

// The script that reads the last song description and play button of the
// player bar in window 1, as "song<TAB>button".
extern const std::string_view kBarScript;

class Reader {
public:
    // Every request to the player waits at most this long.
    static constexpr std::chrono::milliseconds kMessagingTimeout{250};
    // The script is the slow path: one start a second, two seconds each.
    static constexpr double kScriptInterval = 1.0;
    static constexpr std::chrono::milliseconds kScriptTimeout{2000};
    static constexpr int kMaxBarDepth = 6;

    // `now`: seconds since the reference date (the readings' clock).
    Reader(apps::RunningApps& apps, accessibility::AccessibilityTree& tree, script::ScriptHost& scripts,
           std::function<double()> now)
        : apps_(apps), tree_(tree), scripts_(scripts), now_(std::move(now)) {}

    // The reading, enriched from the play queue; none when the player does
    // not run or shows nothing readable. One call at a time.
    std::optional<Snapshot> snapshot();
    std::optional<apps::RunningApplication> runningApp();
    std::optional<Snapshot> snapshotFromAccessibility();
    std::optional<Snapshot> snapshotFromAppleScript();

    accessibility::ElementRef playbackBar(const accessibility::ElementRef& application);
    accessibility::ElementRef playbackBarDeep(const accessibility::ElementRef& element, int depth);
    // The bar's song, play button and favourite; none without a play button.
    std::optional<Snapshot> snapshot(const accessibility::ElementRef& bar);
    std::optional<bool> menuBarPlaying(const accessibility::ElementRef& application);

    // The attribute as a list of elements (empty on any failure), or as text.
    accessibility::ElementList children(const accessibility::ElementRef& element, std::string_view attribute);
    std::optional<std::string> string(const accessibility::ElementRef& element, std::string_view attribute);

    // Whether the desktop lets us read other applications' elements.
    bool trusted() { return tree_.trusted(); }

private:
    apps::RunningApps& apps_;
    accessibility::AccessibilityTree& tree_;
    script::ScriptHost& scripts_;
    std::function<double()> now_;
    double lastScriptAt_ = -std::numeric_limits<double>::infinity();
};

// Asking for the permission to read the player's window, once per adapter:
// the prompt first, the settings page a second time 8 s later. The desktop
// asks no such permission, so the caller's actions do nothing there; the
// flags still move as they would. On the poll's queue only.
class AccessibilityPermission {
public:
    static constexpr double kSettingsDelay = 8.0;  // seconds after the prompt
    enum class Action { none, prompt, openSettings };

    Action step(bool trusted, double now);

    bool didPromptQQAX = false;
    bool didOpenQQAXSettings = false;
    double promptedAt = -std::numeric_limits<double>::infinity();
};

}  // namespace veltrane::media::QQNowPlaying
