// The real platform of the helper: libx264 and libx265, the X server, the
// standard descriptors.
#include <unistd.h>

#include <cerrno>

#include "helpers/halvorn/CaptureEncoder.h"
#include "platform/x11/OutputCapture.h"

namespace veltrane::halvorn {
namespace {

class OutputStream final : public CaptureStream {
public:
    OutputStream(const StreamConfiguration& configuration, std::shared_ptr<dispatch::DispatchQueue> queue,
                 CapturePlatform::FrameHandler onFrame, CapturePlatform::StopHandler onStop)
        : capture_(x11::CaptureConfiguration{configuration.displayID, configuration.width, configuration.height,
                                             configuration.fps, configuration.queueDepth, configuration.showsCursor,
                                             configuration.sourceRect, configuration.ready},
                   std::move(queue), std::move(onFrame), std::move(onStop)) {}
    void startCapture() override { capture_.startCapture(); }
    void stopCapture() override { capture_.stopCapture(); }

private:
    x11::OutputCapture capture_;
};

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

CapturePlatform CapturePlatform::system() {
    CapturePlatform platform;
    platform.createEncoder = [](video::Codec codec, int width, int height, video::VideoEncoder::Output output,
                                int& status, std::string& failedCall) {
        return codec == video::Codec::hevc
                   ? video::createX265Encoder(width, height, std::move(output), status, failedCall)
                   : video::createX264Encoder(width, height, std::move(output), status, failedCall);
    };
    platform.displayIDs = x11::OutputCapture::displayIDs;
    platform.createStream = [](const StreamConfiguration& configuration, std::shared_ptr<dispatch::DispatchQueue> queue,
                               FrameHandler onFrame, StopHandler onStop) -> std::unique_ptr<CaptureStream> {
        return std::make_unique<OutputStream>(configuration, std::move(queue), std::move(onFrame), std::move(onStop));
    };
    platform.writeOutput = [](const std::uint8_t* data, std::size_t size) -> long { return ::write(1, data, size); };
    platform.writeError = [](const std::string& text) { writeAll(2, text); };
    // Other threads are still running: no destructors, no atexit handlers.
    platform.exit = [](int status) { ::_exit(status); };
    platform.monotonicNanoseconds = x11::monotonicNanoseconds;
    return platform;
}

}  // namespace veltrane::halvorn
