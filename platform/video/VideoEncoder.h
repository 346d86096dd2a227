#pragma once
// A video compression session: configured by named properties, then fed
// pictures that come back encoded, one callback per picture, on the
// encoder's own thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/video/PixelBuffer.h"

namespace veltrane::video {

enum class Codec { h264, hevc };

// One encoded picture: its NAL units, each behind a 4-byte big-endian
// length, and for a key picture the parameter sets of the stream (H.264: SPS,
// PPS; HEVC: VPS, SPS, PPS). A set that could not be read is empty.
struct EncodedSample {
    std::vector<std::uint8_t> data;
    std::vector<std::vector<std::uint8_t>> parameterSets;
    bool keyFrame = false;
    std::int64_t presentationTimeNs = 0;
};

class VideoEncoder {
public:
    // status 0 and a sample, or a non-zero status / `dropped` and perhaps none.
    using Output = std::function<void(int status, bool dropped, const EncodedSample* sample)>;

    virtual ~VideoEncoder() = default;

    // Before `prepareToEncodeFrames`: 0, or the library's status for a key it
    // does not know or a value it refuses.
    virtual int setProperty(const std::string& key, const std::string& value) = 0;
    // Opens the encoder with the properties set so far; 0 or its status.
    virtual int prepareToEncodeFrames() = 0;
    // Queues a picture; 0 or a non-zero status when the session cannot take it
    // (then no callback follows for it).
    virtual int encodeFrame(std::shared_ptr<const PixelBuffer> picture, std::int64_t presentationTimeNs) = 0;
    // Waits until every queued picture has come back through the output.
    // From the output's own thread it does not wait: that thread cannot
    // finish while it is inside the callback.
    virtual void completeFrames() = 0;
    // Ends the session; later pictures are refused. Does not wait for the
    // encoder thread when called from it.
    virtual void invalidate() = 0;

    // The name of the call a failed status came from ("x264_encoder_open").
    virtual std::string lastFailedCall() const = 0;
};

// libx264 with `width` x `height` NV12 input. Null with `status` set when the
// library refuses the defaults.
std::unique_ptr<VideoEncoder> createX264Encoder(int width, int height, VideoEncoder::Output output, int& status,
                                                std::string& failedCall);

// libx265 (HEVC) with `width` x `height` NV12 input; key pictures are the
// IRAP ones. Null with `status` set when the library refuses the defaults.
std::unique_ptr<VideoEncoder> createX265Encoder(int width, int height, VideoEncoder::Output output, int& status,
                                                std::string& failedCall);

}  // namespace veltrane::video
