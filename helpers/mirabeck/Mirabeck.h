#pragma once
// The now-playing line writer: reads the now-playing service, smooths the
// playhead, lets QQ Music's window override what the service says, adds the
// cover art once per track and builds one JSON line.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "helpers/mirabeck/QQWindow.h"
#include "platform/mpris/NowPlayingService.h"

namespace veltrane::mirabeck {

class Mirabeck {
public:
    // How long one emission waits for the service's answers.
    static constexpr std::chrono::milliseconds kAnswerWait{350};
    // The process id is asked again after this many seconds.
    static constexpr double kPIDRefreshSeconds = 1.5;

    struct Clock {
        // Seconds since 1970; the line's times and the playhead memory.
        std::function<double()> now;
    };
    using QQSnapshot = std::function<std::optional<QQReading>()>;

    // `qqSnapshot` may be empty: no window override.
    Mirabeck(mpris::NowPlayingService& service, QQSnapshot qqSnapshot, Clock clock);

    // One line with its line feed; none when another emission is running.
    std::optional<std::string> emit();

    // The playhead to print: the reported one while it moves with the
    // clock, else extrapolated from the last moving reading. Reads and
    // updates the playhead memory.
    double elapsedAtEmit(double raw, const mpris::InfoDictionary* info, bool playing, double rate, double duration,
                         double now);

    // The text of the "source" key for a bundle identifier; none for one
    // not in the table.
    static std::optional<std::string> knownSource(std::string_view bundleId);

private:
    std::optional<std::string> buildLine();
    void forgetPlayhead();

    mpris::NowPlayingService& service_;
    QQSnapshot qqSnapshot_;
    Clock clock_;

    // The in-flight guard.
    std::mutex emitLock_;
    bool emitting_ = false;

    // The rest is touched only by the emission holding the guard.
    std::int32_t cachedPID_ = 0;
    double pidAt_ = -1e300;
    double lastRawElapsed_ = -1;
    double lastRawAt_ = -1e300;
    double lastEmitted_ = -1;
    double lastEmittedAt_ = -1e300;
    std::string lastTitle_;
    std::string lastArtist_;
    std::string lastBundleId_;
    std::string lastArtKey_;
    std::shared_ptr<const std::string> lastArtworkData_;
    std::shared_ptr<const std::string> preparedFrom_;
    std::optional<std::string> prepared_;
};

}  // namespace veltrane::mirabeck
