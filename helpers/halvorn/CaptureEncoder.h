#pragma once
// Captures one display, encodes every picture at once and writes one access
// unit per picture to standard output.
//
// Threads: frames arrive on `captureQueue_` ("com.tovrik.orrisfold.capture");
// encoded pictures come back on the encoder's thread; `stop()` may run on
// any of them or on the signal thread. `outputLock_` guards `stopped_`,
// `inFlightFrames_`, the session, rotation and stream fields and the
// statistics, and is never held across a call into the encoder or a write.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helpers/halvorn/EncoderStatistics.h"
#include "helpers/halvorn/Options.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/video/PixelBufferPool.h"
#include "platform/video/PixelConverter.h"
#include "platform/video/RotationSession.h"
#include "platform/video/VideoEncoder.h"

namespace veltrane::halvorn {

// The capture of a display as the encoder sees it.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    virtual void startCapture() = 0;  // throws with the platform's text
    virtual void stopCapture() = 0;   // does not wait
};

struct StreamConfiguration {
    std::uint32_t displayID = 0;
    int width = 0;
    int height = 0;
    int fps = 0;
    int queueDepth = 3;
    bool showsCursor = true;
    std::optional<video::SourceRect> sourceRect;  // the whole display when absent
    std::function<bool()> ready;                  // false: skip this picture, the encoder is full
};

// What the encoder calls outside itself; tests substitute every part.
struct CapturePlatform {
    using FrameHandler = std::function<void(std::shared_ptr<const video::PixelBuffer>, std::int64_t)>;
    using StopHandler = std::function<void(const std::string&)>;

    std::function<std::unique_ptr<video::VideoEncoder>(video::Codec, int width, int height, video::VideoEncoder::Output,
                                                       int& status, std::string& failedCall)>
        createEncoder;
    std::function<std::vector<std::uint32_t>()> displayIDs;
    std::function<std::unique_ptr<CaptureStream>(const StreamConfiguration&, std::shared_ptr<dispatch::DispatchQueue>,
                                                 FrameHandler, StopHandler)>
        createStream;
    // write(2) on standard output and standard error.
    std::function<long(const std::uint8_t*, std::size_t)> writeOutput;
    std::function<void(const std::string&)> writeError;
    std::function<void(int status)> exit;
    std::function<std::int64_t()> monotonicNanoseconds;

    // The real ones: libx264 and libx265, the X server, file descriptors 1 and 2, _exit.
    static CapturePlatform system();
};

class CaptureEncoder : public std::enable_shared_from_this<CaptureEncoder> {
public:
    // At most this many pictures are with the encoder; more are dropped.
    static constexpr int kMaxFramesInFlight = 4;
    // Turned pictures the rotation may have out at once.
    static constexpr std::size_t kRotationPoolSize = 6;

    CaptureEncoder(Options options, CapturePlatform platform);
    ~CaptureEncoder();

    // Sets up the encoder, finds the display, starts the capture and writes
    // the start line. Throws CaptureError or the platform's exception.
    void start();
    // Idempotent: no picture is handed over afterwards; those with the
    // encoder are completed and written.
    void stop();

    // The picture turned a quarter clockwise into a picture of the rotation
    // pool; none without rotation, when the pool has none free or when the
    // picture cannot be turned.
    std::shared_ptr<const video::PixelBuffer> rotateClockwise(const video::PixelBuffer& picture);

    // The capture's frame callback (on the capture queue).
    void didOutputFrame(std::shared_ptr<const video::PixelBuffer> picture, std::int64_t presentationTimeNs);
    // The capture ended on its own: "Capture stopped: <why>", stop, status 1.
    void didStopWithError(const std::string& why);
    // The encoder's output callback (on the encoder's thread).
    void handleEncodedFrame(int status, bool dropped, const video::EncodedSample* sample);

    int framesInFlight() const;
    const std::shared_ptr<dispatch::DispatchQueue>& captureQueue() const { return captureQueue_; }

private:
    void createCompressionSession(int width, int height);
    void set(video::VideoEncoder& session, const std::string& key, const std::string& value);
    void releaseSlot();
    // False after a failed write (the process then ends with status 0).
    bool writeDataToStandardOutput(const std::vector<std::uint8_t>& bytes);
    void recordEncodedFrame(std::int64_t presentationTimeNs);

    const Options options_;
    CapturePlatform platform_;
    std::shared_ptr<dispatch::DispatchQueue> captureQueue_;
    mutable std::mutex outputLock_;
    std::shared_ptr<video::VideoEncoder> compressionSession_;  // under outputLock_
    std::shared_ptr<video::RotationSession> rotationSession_;  // under outputLock_; with --rotate-clockwise
    std::shared_ptr<video::PixelBufferPool> rotationPool_;     // under outputLock_; with --rotate-clockwise
    std::shared_ptr<CaptureStream> stream_;                    // under outputLock_
    int inFlightFrames_ = 0;                                   // under outputLock_
    bool stopped_ = false;                                     // under outputLock_
    EncoderStatistics statistics_;                             // under outputLock_
};

}  // namespace veltrane::halvorn
