#pragma once
// Copies of other programs' playback streams, each as it plays, without
// changing where or whether it is heard.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace veltrane::audio {

struct PlaybackStream {
    std::uint32_t id = 0;
    pid_t clientPID = 0;
};

struct StreamFormat {
    int sampleRate = 0;
    int channels = 0;
    bool operator==(const StreamFormat&) const = default;
};

class StreamMonitor {
public:
    virtual ~StreamMonitor() = default;
    // Playback streams whose client process is known. Throws std::runtime_error.
    virtual std::vector<PlaybackStream> playbackStreams() = 0;
    // `onFrames` runs on the platform's audio thread with interleaved float
    // frames in the stream's own rate and channel count; it must not block.
    using FrameHandler = std::function<void(const StreamFormat&, const float* samples, std::size_t frames)>;
    virtual void startMonitoring(std::uint32_t stream, FrameHandler onFrames) = 0;
    virtual void stopMonitoring(std::uint32_t stream) = 0;
};

}  // namespace veltrane::audio
