#pragma once
// Continuous capture of one RandR output (the part of the root window its
// CRTC shows, or a rectangle of it) through XShm, with the pointer drawn in, converted to NV12 at
// the requested size. Pictures are taken on a steady 1/fps grid on a thread
// of the capture's own (missed ticks are skipped) and handed, converted, to
// the caller's queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/video/PixelBuffer.h"
#include "platform/video/PixelConverter.h"

namespace veltrane::x11 {

// The display server's or the capture's reason, as text.
class CaptureFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct CaptureConfiguration {
    std::uint32_t outputID = 0;  // the RandR output XID
    int width = 0;               // the pictures handed out; the output is fitted into them
    int height = 0;
    int fps = 0;
    int queueDepth = 3;  // captured images that may wait for conversion
    bool showsCursor = true;
    // Only this part of the output, fitted like the whole would be; what
    // lies outside the output is black.
    std::optional<video::SourceRect> sourceRect;
    // Asked before each grab: while it says no (the encoder is full) the tick
    // is skipped, so no picture is captured and converted only to be dropped.
    std::function<bool()> ready;
};

class OutputCapture {
public:
    using FrameHandler = std::function<void(std::shared_ptr<const video::PixelBuffer>, std::int64_t presentationTimeNs)>;
    using StopHandler = std::function<void(const std::string& why)>;

    // The outputs that show a picture (those with a CRTC), by XID. Throws
    // CaptureFailure when the display server cannot be reached.
    static std::vector<std::uint32_t> displayIDs();

    // Frames go to `onFrame` on `queue`; `onStop` runs once, on the capture
    // thread, when the output goes away or the server connection is lost.
    OutputCapture(CaptureConfiguration configuration, std::shared_ptr<dispatch::DispatchQueue> queue,
                  FrameHandler onFrame, StopHandler onStop);
    // Ends the capture thread and waits for it (unless called from it).
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Connects, sets up the shared images and starts the capture thread.
    // Throws CaptureFailure.
    void startCapture();
    // Asks the capture thread to end; does not wait.
    void stopCapture();

private:
    class Grabber;
    std::shared_ptr<Grabber> grabber_;
};

// The time base of presentation times: CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonicNanoseconds();

}  // namespace veltrane::x11
