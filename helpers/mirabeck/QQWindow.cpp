#include "helpers/mirabeck/QQWindow.h"

#include "platform/text/Whitespace.h"

namespace veltrane::mirabeck {
namespace {

using accessibility::ElementRef;

struct SongLabels {
    std::string_view title;
    std::string_view artist;
};
// Tried in this order; row 2 has ASCII colons, the others full-width ones.
constexpr SongLabels kSongLabels[] = {
    {"歌曲名：", "歌手名："},
    {"歌曲名:", "歌手名:"},
    {"歌名：", "歌手："},
};

constexpr std::string_view kControlBar = "播放控制栏";
constexpr std::string_view kSkipped[] = {"模式", "列表", "控制"};
constexpr std::string_view kPause = "暂停";
constexpr std::string_view kPlay[] = {"播放", "Play"};
constexpr std::string_view kDashes[] = {"-", "–", "—"};

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// White space, line breaks and the three dashes, from both ends.
std::string_view trimTitle(std::string_view text) {
    for (;;) {
        const std::string_view before = text;
        text = text::trimmingWhitespaceAndNewlines(text);
        for (auto dash : kDashes) {
            while (text.substr(0, dash.size()) == dash) text.remove_prefix(dash.size());
            while (text.size() >= dash.size() && text.substr(text.size() - dash.size()) == dash)
                text.remove_suffix(dash.size());
        }
        if (text == before) return text;
    }
}

}  // namespace

std::optional<QQSong> qqParseSong(std::string_view text) {
    const std::string_view s = text::trimmingWhitespaceAndNewlines(text);
    for (const auto& labels : kSongLabels) {
        const auto titleAt = s.find(labels.title);
        if (titleAt == std::string_view::npos) continue;
        const auto titleEnd = titleAt + labels.title.size();
        const auto artistAt = s.find(labels.artist, titleEnd);
        if (artistAt == std::string_view::npos) continue;
        const auto title = trimTitle(s.substr(titleEnd, artistAt - titleEnd));
        const auto artist = text::trimmingWhitespaceAndNewlines(s.substr(artistAt + labels.artist.size()));
        if (!title.empty()) return QQSong{std::string(title), std::string(artist)};
    }
    return std::nullopt;
}

std::optional<std::string> axStr(accessibility::AccessibilityTree& tree, const ElementRef& element,
                                 std::string_view attribute) {
    return accessibility::textAttribute(tree, element, attribute);
}

accessibility::ElementList axKids(accessibility::AccessibilityTree& tree, const ElementRef& element,
                                  std::string_view attribute) {
    return accessibility::elementsAttribute(tree, element, attribute);
}

std::optional<QQReading> QQWindowReader::qqAXSnapshot() {
    const double start = now_();
    if (lastQQAX_ && start - lastQQAX_->at >= 0 && start - lastQQAX_->at < kReuseSeconds) return lastQQAX_->reading;

    const auto pids = tree_.runningApplications(kQQMusicBundleId);
    if (pids.empty()) {
        lastQQAX_.reset();
        return std::nullopt;
    }
    const ElementRef app = tree_.application(pids.front());
    if (app) tree_.setMessagingTimeout(app, kMessagingTimeout);

    std::optional<QQSong> windowSong;
    ElementRef bar;
    for (const auto& window : app ? axKids(tree_, app, "AXWindows") : accessibility::ElementList{}) {
        for (const auto& child : axKids(tree_, window, "AXChildren")) {
            const std::string description = axStr(tree_, child, "AXDescription").value_or("");
            if (contains(description, kControlBar)) {
                bar = child;
                break;
            }
            if (!windowSong) windowSong = qqParseSong(description);
        }
        if (bar) break;
    }

    if (!bar) {
        // No bar in sight (another view, a window being redrawn): a recent
        // reading still stands.
        if (lastQQAX_ && start - lastQQAX_->at >= 0 && start - lastQQAX_->at < kStandInSeconds)
            return lastQQAX_->reading;
        return std::nullopt;
    }

    QQReading reading;
    std::optional<QQSong> barSong;
    for (const auto& control : axKids(tree_, bar, "AXChildren")) {
        const std::string d = axStr(tree_, control, "AXDescription").value_or("");
        if (auto song = qqParseSong(d)) {
            barSong = std::move(song);
            continue;
        }
        const std::string_view t = text::trimmingWhitespaceAndNewlines(d);
        bool skipped = false;
        for (auto word : kSkipped) skipped = skipped || contains(t, word);
        if (skipped) continue;
        if (contains(t, kPause)) {
            reading.playing = true;
            reading.sawPlay = true;
        } else if (t == kPlay[0] || t == kPlay[1]) {
            reading.playing = false;
            reading.sawPlay = true;
        }
    }
    const std::optional<QQSong>& song = barSong ? barSong : windowSong;
    if (!reading.sawPlay) return std::nullopt;
    if (song) {
        reading.title = song->title;
        reading.artist = song->artist;
    }
    lastQQAX_ = Stored{now_(), reading};
    return reading;
}

}  // namespace veltrane::mirabeck
