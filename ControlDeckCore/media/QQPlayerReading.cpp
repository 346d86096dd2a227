#include "ControlDeckCore/media/QQPlayerReading.h"

#include <algorithm>
#include <vector>

#include "ControlDeckCore/media/QQPlayQueue.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media::QQNowPlaying {
namespace {

using accessibility::ElementList;
using accessibility::ElementRef;

constexpr std::string_view kControlBar = "播放控制栏";
constexpr std::string_view kControlBarWord = "playback";
constexpr std::string_view kPlaybackMenus[] = {"播放控制", "Playback", "Controls"};

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::vector<std::string_view> splitAtTabs(std::string_view text) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const auto tab = text.find('\t');
        pieces.push_back(text.substr(0, tab));
        if (tab == std::string_view::npos) return pieces;
        text.remove_prefix(tab + 1);
    }
}

}  // namespace

const std::string_view kBarScript =
    "tell application \"System Events\"\n"
    "  if not (exists process \"QQMusic\") then return \"\"\n"
    "  tell process \"QQMusic\"\n"
    "    if (count of windows) is 0 then return \"\"\n"
    "    set bar to missing value\n"
    "    repeat with e in UI elements of window 1\n"
    "      try\n"
    "        if description of e contains \"播放控制栏\" then set bar to e\n"
    "      end try\n"
    "    end repeat\n"
    "    if bar is missing value then return \"\"\n"
    "    set song to \"\"\n"
    "    set playBtn to \"\"\n"
    "    repeat with e in UI elements of bar\n"
    "      set d to \"\"\n"
    "      try\n"
    "        set d to description of e as text\n"
    "      end try\n"
    "      if d contains \"歌曲名\" or d contains \"歌名\" then set song to d\n"
    "      if d is \"播放\" or d is \"暂停\" or d is \"暂停播放\" or d is \"Play\" or d is \"Pause\" then set playBtn "
    "to d\n"
    "    end repeat\n"
    "    return song & tab & playBtn\n"
    "  end tell\n"
    "end tell";

std::optional<Snapshot> Reader::snapshot() {
    if (!runningApp()) return std::nullopt;
    auto reading = snapshotFromAccessibility();
    const bool titled = reading && reading->title && !text::trimmingWhitespaceAndNewlines(*reading->title).empty();
    if (!titled)
        if (auto scripted = snapshotFromAppleScript()) reading = std::move(scripted);
    if (!reading) return std::nullopt;
    return enrich(*reading);
}

std::optional<apps::RunningApplication> Reader::runningApp() {
    for (auto& application : apps_.runningApplications())
        if (application.bundleId == kBundleId) return application;
    return std::nullopt;
}

std::optional<Snapshot> Reader::snapshotFromAccessibility() {
    const auto running = runningApp();
    if (!running) return std::nullopt;
    const ElementRef application = tree_.application(running->pid);
    if (!application) return std::nullopt;
    tree_.setMessagingTimeout(application, kMessagingTimeout);
    ElementRef bar = playbackBar(application);
    if (!bar) bar = playbackBarDeep(application, 0);
    if (bar)
        if (auto reading = snapshot(bar)) return reading;
    const auto playing = menuBarPlaying(application);
    if (!playing) return std::nullopt;
    return reading(std::nullopt, std::nullopt, *playing, std::nullopt, now_());
}

std::optional<Snapshot> Reader::snapshotFromAppleScript() {
    const double now = now_();
    if (now - lastScriptAt_ < kScriptInterval) return std::nullopt;
    lastScriptAt_ = now;
    const auto outcome = scripts_.run(kBarScript, kScriptTimeout);
    if (!outcome.output) return std::nullopt;
    const auto output = text::trimmingWhitespaceAndNewlines(*outcome.output);
    if (output.empty()) return std::nullopt;
    const auto pieces = splitAtTabs(output);
    const std::string_view button = pieces.size() >= 2 ? pieces[1] : std::string_view();
    if (!isPlayButton(button)) return std::nullopt;
    const auto song = parseSongDescription(pieces[0]);
    return reading(song ? std::optional(song->title) : std::nullopt, song ? std::optional(song->artist) : std::nullopt,
                   isPlaying(button), std::nullopt, now_());
}

ElementRef Reader::playbackBar(const ElementRef& application) {
    for (const auto& window : children(application, "AXWindows"))
        for (const auto& child : children(window, "AXChildren")) {
            const std::string description = string(child, "AXDescription").value_or("");
            if (contains(description, kControlBar) || contains(text::lowercased(description), kControlBarWord))
                return child;
        }
    return nullptr;
}

ElementRef Reader::playbackBarDeep(const ElementRef& element, int depth) {
    if (depth > kMaxBarDepth) return nullptr;
    if (contains(string(element, "AXDescription").value_or(""), kControlBar)) return element;
    for (const auto& child : children(element, "AXChildren"))
        if (auto bar = playbackBarDeep(child, depth + 1)) return bar;
    return nullptr;
}

std::optional<Snapshot> Reader::snapshot(const ElementRef& bar) {
    const auto controls = children(bar, "AXChildren");
    if (controls.empty()) return std::nullopt;
    std::optional<SongDescription> song;
    std::optional<bool> liked;
    bool playing = false;
    bool sawButton = false;
    for (const auto& control : controls) {
        const std::string description = string(control, "AXDescription").value_or("");
        const std::string label = string(control, "AXTitle").value_or("");
        // The last stated favourite wins, a control's title over its
        // description.
        if (auto status = favoriteStatus(description)) liked = status;
        if (auto status = favoriteStatus(label)) liked = status;
        if (auto parsed = parseSongDescription(description)) {
            song = std::move(parsed);
        } else if (isPlayButton(description)) {
            playing = isPlaying(description);
            sawButton = true;
        }
    }
    // A bar without a play button is not trusted at all, so that the other
    // readings get their turn.
    if (!sawButton) return std::nullopt;
    return reading(song ? std::optional(song->title) : std::nullopt, song ? std::optional(song->artist) : std::nullopt,
                   playing, liked, now_());
}

std::optional<bool> Reader::menuBarPlaying(const ElementRef& application) {
    for (const auto& menuBar : children(application, "AXMenuBar"))
        for (const auto& item : children(menuBar, "AXChildren")) {
            const auto title = string(item, "AXTitle");
            if (!title ||
                std::find(std::begin(kPlaybackMenus), std::end(kPlaybackMenus), *title) == std::end(kPlaybackMenus))
                continue;
            for (const auto& menu : children(item, "AXChildren"))
                for (const auto& menuItem : children(menu, "AXChildren")) {
                    const std::string label = string(menuItem, "AXTitle").value_or("");
                    if (isPlayButton(label)) return isPlaying(label);
                }
        }
    return std::nullopt;
}

ElementList Reader::children(const ElementRef& element, std::string_view attribute) {
    return accessibility::elementsAttribute(tree_, element, attribute);
}

std::optional<std::string> Reader::string(const ElementRef& element, std::string_view attribute) {
    return accessibility::textAttribute(tree_, element, attribute);
}

AccessibilityPermission::Action AccessibilityPermission::step(bool trusted, double now) {
    if (trusted) return Action::none;
    if (!didPromptQQAX) {
        didPromptQQAX = true;
        promptedAt = now;
        return Action::prompt;
    }
    if (!didOpenQQAXSettings && now - promptedAt > kSettingsDelay) {
        didOpenQQAXSettings = true;
        return Action::openSettings;
    }
    return Action::none;
}

}  // namespace veltrane::media::QQNowPlaying
