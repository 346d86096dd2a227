#include "ControlDeckCore/adapters/FakeMediaAdapter.h"

namespace veltrane::deck {

void FakeMediaAdapter::playPause() {
    fields.modify([](Fields& f) { f.isPlaying = !f.isPlaying; });
    changed();
}

void FakeMediaAdapter::seek(double to) {
    fields.modify([to](Fields& f) {
        double position = to >= 0 ? to : 0;  // NaN becomes 0 too
        if (f.duration > 0 && position > f.duration) position = f.duration;
        f.elapsed = position;
        f.elapsedCapturedAt = std::chrono::system_clock::now();
        f.elapsedKnown = true;
    });
    changed();
}

void FakeMediaAdapter::setLiked(std::optional<bool> liked) {
    fields.modify([liked](Fields& f) { f.liked = liked ? *liked : !f.liked.value_or(false); });
    changed();
}

}  // namespace veltrane::deck
