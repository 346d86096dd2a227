// The watcher child, its lines, and the one-shot helper read.
#include <cmath>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/process/Shell.h"
#include "platform/process/StreamingChild.h"

namespace veltrane::deck {
namespace {

constexpr const char* kQQMusic = "com.tencent.QQMusicMac";

bool isLineBreak(std::string_view text, std::size_t at, std::size_t& length) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        length = c == '\r' && at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
        return true;
    }
    // U+0085, U+2028, U+2029 in UTF-8.
    if (c == 0xC2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) == 0x85) {
        length = 2;
        return true;
    }
    if (c == 0xE2 && at + 2 < text.size() && static_cast<unsigned char>(text[at + 1]) == 0x80 &&
        (static_cast<unsigned char>(text[at + 2]) == 0xA8 || static_cast<unsigned char>(text[at + 2]) == 0xA9)) {
        length = 3;
        return true;
    }
    return false;
}

// The pieces between line breaks of any kind, without empty ones.
std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0, length = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (!isLineBreak(text, i, length)) {
            ++i;
            continue;
        }
        if (i > start) lines.emplace_back(text.substr(start, i - start));
        i += length;
        start = i;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

}  // namespace

std::optional<std::string> MacMediaAdapter::helperURL() const { return environment_.helperURL(); }

void MacMediaAdapter::startNowPlayingWatch() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->spawnWatch();
    });
}

void MacMediaAdapter::spawnWatch() {
    if (watchProcess_ && watchProcess_->isRunning()) return;
    // No watcher scripts ship on this system: the helper is the watcher.
    const auto helper = helperURL();
    if (!helper) return;
    const std::uint64_t serial = ++watchSerial_;
    // The reader thread only hands over; the adapter is locked on its queue,
    // so it is never released on the reader thread.
    std::weak_ptr<MacMediaAdapter> weak = weak_from_this();
    std::shared_ptr<dispatch::SerialQueue> queue = queue_;
    process::StreamingChild::Handlers handlers;
    handlers.output = [weak, queue, serial](std::string bytes) {
        queue->async([weak, serial, bytes = std::move(bytes)] {
            auto self = weak.lock();
            if (self && self->watchSerial_ == serial && self->watchProcess_) self->drainWatchBuffer(bytes);
        });
    };
    handlers.ended = [weak, queue, serial] {
        queue->async([weak, serial] {
            if (auto self = weak.lock()) self->watchEnded(serial);
        });
    };
    std::string error;
    auto child = process::StreamingChild::start(*helper, {"--watch"}, std::move(handlers), error);
    if (!child) return;  // the next refresh tries again
    watchProcess_ = std::move(child);
    watchBuffer_.clear();
}

void MacMediaAdapter::watchEnded(std::uint64_t serial) {
    if (serial != watchSerial_ || !watchProcess_) return;
    watchProcess_.reset();
    watchBuffer_.clear();
    queue_->asyncAfter(dispatch::seconds(kWatchRestartDelay), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->spawnWatch();
    });
}

void MacMediaAdapter::drainWatchBuffer(const std::string& bytes) {
    for (const auto& line : watchBuffer_.append(bytes)) ingestHelperLine(line);
}

void MacMediaAdapter::ingestHelperLine(const std::string& text) {
    auto line = media::HelperLine::parse(text, now());
    if (line.kind == media::HelperLine::Kind::empty) {
        handleEmptyReading();
        return;
    }
    if (line.kind != media::HelperLine::Kind::reading) return;
    Snapshot& reading = *line.snapshot;

    // A pause of another player while QQ Music plays: QQ Music's reading is
    // the one that counts.
    if (!reading.isPlaying && qqPlaybackStatus_ && qqPlaybackStatus_->isPlaying &&
        (!reading.bundleId || *reading.bundleId != kQQMusic)) {
        applyOnQueue(qqPlaybackStatus_, std::nullopt, false, true);
        return;
    }

    // QQ Music reports the end of the last track for a new one at its start.
    if (reading.bundleId && *reading.bundleId == kQQMusic) {
        const bool rawTrusted = line.rawElapsed && std::isfinite(*line.rawElapsed) && *line.rawElapsed > 0.05;
        const bool elapsedTrusted = std::isfinite(reading.elapsed) && reading.elapsed > 0.05 &&
                                    (reading.duration <= 1.0 || reading.elapsed < reading.duration - 0.05);
        if (!rawTrusted && !elapsedTrusted) {
            if (reading.duration > 1.0 && reading.elapsed >= reading.duration - 0.05) reading.elapsed = 0;
            reading.elapsedKnown = false;
        }
    }

    applyOnQueue(std::move(reading), line.rawElapsed, false, !line.scriptable);
}

void MacMediaAdapter::handleEmptyReading() {
    const double at = now();
    const auto shownBundle = bundleId_.wrappedValue();
    const bool shownQQ = shownBundle && *shownBundle == kQQMusic;
    if (qqPlaybackStatus_ && qqPlaybackStatus_->isPlaying) {
        applyOnQueue(qqPlaybackStatus_, std::nullopt, false, true);
    } else if (shownQQ && qqIsRunning_) {
        if (qqPlaybackStatus_) applyOnQueue(qqPlaybackStatus_, std::nullopt, false, true);
    } else if ((!shownBundle || shownQQ) && qqPlaybackStatus_ && at - qqPlaybackStatus_->capturedAt < 1.5) {
        applyOnQueue(qqPlaybackStatus_, std::nullopt, false, true);
    } else if (shownBundle && (*shownBundle == "com.apple.Music" || *shownBundle == "com.spotify.client") &&
               canQueryNative(*shownBundle)) {
        reconcileEmptyHelperAgainstNative();
    } else {
        applyOnQueue(std::nullopt, std::nullopt, false, true);
    }
}

void MacMediaAdapter::fetchViaHelper() {
    const auto helper = helperURL();
    if (!helper) return;
    queue_->async([weak = weak_from_this(), path = *helper] {
        const auto result = process::Shell::run(path, {}, kHelperReadTimeout, kHelperReadBytes);
        if (result.status != 0) return;
        for (const auto& line : splitLines(result.stdout)) {
            auto self = weak.lock();
            if (!self) return;
            self->ingestHelperLine(line);
        }
    });
}

}  // namespace veltrane::deck
