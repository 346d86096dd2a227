#pragma once
// QQ Music's player bar read through the accessibility tree: the song title,
// the artist and whether it plays, from the descriptions of the bar's
// controls.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/accessibility/AccessibilityTree.h"

namespace veltrane::mirabeck {

inline constexpr std::string_view kQQMusicBundleId = "com.tencent.QQMusicMac";

struct QQSong {
    std::string title;   // never empty
    std::string artist;  // may be empty
};

// A reading of the window; present only when a play or pause control was
// seen, so `sawPlay` is then always true.
struct QQReading {
    std::optional<std::string> title;
    std::optional<std::string> artist;
    bool playing = false;
    bool sawPlay = false;
};

// The title and artist of a description such as "歌曲名：T - 歌手名：A".
std::optional<QQSong> qqParseSong(std::string_view text);

// The attribute as text; none for any other value or a failure.
std::optional<std::string> axStr(accessibility::AccessibilityTree& tree, const accessibility::ElementRef& element,
                                 std::string_view attribute);
// The attribute as a list of elements; empty for any other value or a failure.
accessibility::ElementList axKids(accessibility::AccessibilityTree& tree, const accessibility::ElementRef& element,
                                  std::string_view attribute);

class QQWindowReader {
public:
    // Readings younger than this are answered without asking the window.
    static constexpr double kReuseSeconds = 0.22;
    // Without a bar in the window, the last reading stands in only while it
    // is younger than this: an hour-old reading must not override a line.
    static constexpr double kStandInSeconds = 2.5;
    static constexpr std::chrono::milliseconds kMessagingTimeout{800};

    // `now`: seconds on any clock that does not jump.
    QQWindowReader(accessibility::AccessibilityTree& tree, std::function<double()> now)
        : tree_(tree), now_(std::move(now)) {}

    // One call at a time (the line writer's queue).
    std::optional<QQReading> qqAXSnapshot();

private:
    struct Stored {
        double at = 0;
        QQReading reading;
    };
    accessibility::AccessibilityTree& tree_;
    std::function<double()> now_;
    std::optional<Stored> lastQQAX_;
};

}  // namespace veltrane::mirabeck
