#include "helpers/halvorn/CaptureEncoder.h"

#include <algorithm>
#include <cerrno>

#include "helpers/halvorn/AccessUnit.h"
#include "helpers/halvorn/CaptureError.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::halvorn {

CaptureEncoder::CaptureEncoder(Options options, CapturePlatform platform)
    : options_(std::move(options)), platform_(std::move(platform)),
      captureQueue_(dispatch::SerialQueue::create("com.tovrik.orrisfold.capture")),
      statistics_(platform_.monotonicNanoseconds()) {}

CaptureEncoder::~CaptureEncoder() = default;

void CaptureEncoder::set(video::VideoEncoder& session, const std::string& key, const std::string& value) {
    int status = session.setProperty(key, value);
    if (status != 0) throw CaptureError::status(session.lastFailedCall(), status);
}

namespace {

struct Property {
    const char* key;
    std::string value;
    bool startFails;  // false: the encoder may refuse it without harm
};

// The encoder's settings, in the order they are set. x264 and x265 count bit
// rates in kbit/s; the rate buffer holds one second.
std::vector<Property> sessionProperties(const Options& options) {
    const bool hevc = options.hevc;
    const std::string kbps = std::to_string(std::max(1, options.bitrate / 1000));
    std::vector<Property> properties;
    auto add = [&](const char* key, std::string value, bool startFails = true) {
        properties.push_back({key, std::move(value), startFails});
    };
    add("rc-lookahead", "0");  // real time: nothing held back
    add("bframes", "0");       // no frame reordering
    if (!hevc) add("sync-lookahead", "0", false);
    add("ref", "1", false);
    add("fps", std::to_string(options.fps));
    add("bitrate", kbps);
    add("colorprim", "bt709");
    add("transfer", "iec61966-2-1");  // sRGB
    add("colormatrix", "bt709");
    if (hevc)
        add("range", "full");
    else
        add("fullrange", "on");
    add("keyint", std::to_string(options.fps >= 2 ? options.fps / 2 : 1));
    // Closed groups: every key picture an IDR a joining decoder starts from.
    if (hevc) add("open-gop", "0");
    add("profile", hevc ? "main" : "baseline");
    add("vbv-maxrate", kbps);
    add("vbv-bufsize", kbps);
    return properties;
}

}  // namespace

void CaptureEncoder::createCompressionSession(int width, int height) {
    std::weak_ptr<CaptureEncoder> weakSelf = weak_from_this();
    video::VideoEncoder::Output output = [weakSelf](int status, bool dropped, const video::EncodedSample* sample) {
        if (auto self = weakSelf.lock()) self->handleEncodedFrame(status, dropped, sample);
    };
    const video::Codec codec = options_.hevc ? video::Codec::hevc : video::Codec::h264;
    int status = 0;
    std::string failedCall = options_.hevc ? "x265_param_default_preset" : "x264_param_default_preset";
    std::shared_ptr<video::VideoEncoder> session =
        platform_.createEncoder(codec, width, height, output, status, failedCall);
    if (session == nullptr) throw CaptureError::status(failedCall, status != 0 ? status : -1);
    {
        std::lock_guard lock(outputLock_);
        compressionSession_ = session;
    }
    for (const Property& property : sessionProperties(options_)) {
        if (property.startFails)
            set(*session, property.key, property.value);
        else
            session->setProperty(property.key, property.value);
    }
    status = session->prepareToEncodeFrames();
    if (status != 0) throw CaptureError::status(session->lastFailedCall(), status);
}

void CaptureEncoder::start() {
    // The encoder takes turned pictures; the capture still asks for the
    // display's own shape.
    const int encodedWidth = options_.rotateClockwise ? options_.height : options_.width;
    const int encodedHeight = options_.rotateClockwise ? options_.width : options_.height;
    if (options_.rotateClockwise) {
        auto session = std::make_shared<video::RotationSession>();
        auto pool = std::make_shared<video::PixelBufferPool>(encodedWidth, encodedHeight, kRotationPoolSize);
        std::lock_guard lock(outputLock_);
        rotationSession_ = std::move(session);
        rotationPool_ = std::move(pool);
    }
    createCompressionSession(encodedWidth, encodedHeight);

    auto ids = platform_.displayIDs();
    if (std::find(ids.begin(), ids.end(), options_.displayID) == ids.end())
        throw CaptureError::message("Display " + std::to_string(options_.displayID) + " is not available");

    StreamConfiguration configuration;
    configuration.displayID = options_.displayID;
    configuration.width = options_.width;
    configuration.height = options_.height;
    configuration.fps = options_.fps;
    if (options_.hasSourceRect())
        configuration.sourceRect =
            video::SourceRect{*options_.sourceX, *options_.sourceY, *options_.sourceWidth, *options_.sourceHeight};
    std::weak_ptr<CaptureEncoder> weakSelf = weak_from_this();
    // A picture the hand-over would drop is not worth grabbing.
    configuration.ready = [weakSelf] {
        auto self = weakSelf.lock();
        return self != nullptr && self->framesInFlight() < kMaxFramesInFlight;
    };
    std::shared_ptr<CaptureStream> stream = platform_.createStream(
        configuration, captureQueue_,
        [weakSelf](std::shared_ptr<const video::PixelBuffer> picture, std::int64_t presentationTimeNs) {
            if (auto self = weakSelf.lock()) self->didOutputFrame(std::move(picture), presentationTimeNs);
        },
        [weakSelf](const std::string& why) {
            if (auto self = weakSelf.lock()) self->didStopWithError(why);
        });
    {
        std::lock_guard lock(outputLock_);
        stream_ = stream;
    }
    stream->startCapture();
    platform_.writeError("ScreenCaptureKit active at " + std::to_string(options_.width) + "x" +
                         std::to_string(options_.height) + "@" + std::to_string(options_.fps) + "; encoding " +
                         std::to_string(encodedWidth) + "x" + std::to_string(encodedHeight) + "\n");
}

void CaptureEncoder::stop() {
    std::shared_ptr<video::VideoEncoder> session;
    std::shared_ptr<video::RotationSession> rotation;
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard lock(outputLock_);
        if (stopped_) return;
        stopped_ = true;
        session = std::move(compressionSession_);
        compressionSession_ = nullptr;
        rotation = std::move(rotationSession_);
        rotationSession_ = nullptr;
        stream = stream_;
    }
    if (stream != nullptr) stream->stopCapture();
    if (session != nullptr) {
        // From the encoder's own thread (a failed write) this does not wait.
        session->completeFrames();
        session->invalidate();
    }
    if (rotation != nullptr) rotation->invalidate();
}

void CaptureEncoder::didStopWithError(const std::string& why) {
    platform_.writeError("Capture stopped: " + why + "\n");
    stop();
    platform_.exit(1);
}

void CaptureEncoder::didOutputFrame(std::shared_ptr<const video::PixelBuffer> picture,
                                    std::int64_t presentationTimeNs) {
    if (picture == nullptr) return;
    std::shared_ptr<video::VideoEncoder> session;
    {
        std::lock_guard lock(outputLock_);
        if (stopped_ || inFlightFrames_ >= kMaxFramesInFlight || compressionSession_ == nullptr) return;
        ++inFlightFrames_;
        session = compressionSession_;
    }
    if (options_.rotateClockwise) {
        picture = rotateClockwise(*picture);
        // Nothing to encode: the frame is dropped and its slot freed.
        if (picture == nullptr) return releaseSlot();
    }
    if (session->encodeFrame(std::move(picture), presentationTimeNs) != 0) releaseSlot();
}

std::shared_ptr<const video::PixelBuffer> CaptureEncoder::rotateClockwise(const video::PixelBuffer& picture) {
    std::shared_ptr<video::RotationSession> session;
    std::shared_ptr<video::PixelBufferPool> pool;
    {
        std::lock_guard lock(outputLock_);
        session = rotationSession_;
        pool = rotationPool_;
    }
    if (session == nullptr || pool == nullptr) return nullptr;
    std::shared_ptr<video::PixelBuffer> turned = pool->take();
    if (turned == nullptr || session->rotate(picture, *turned) != 0) return nullptr;
    return turned;
}

void CaptureEncoder::releaseSlot() {
    std::lock_guard lock(outputLock_);
    inFlightFrames_ = std::max(0, inFlightFrames_ - 1);
}

int CaptureEncoder::framesInFlight() const {
    std::lock_guard lock(outputLock_);
    return inFlightFrames_;
}

void CaptureEncoder::handleEncodedFrame(int status, bool dropped, const video::EncodedSample* sample) {
    if (status != 0 || dropped || sample == nullptr) return releaseSlot();
    const video::Codec codec = options_.hevc ? video::Codec::hevc : video::Codec::h264;
    auto unit = buildAccessUnit(codec, sample->keyFrame, sample->parameterSets, sample->data.data(),
                                sample->data.size());
    if (!unit) return releaseSlot();
    if (options_.lengthPrefixed && !writeDataToStandardOutput(lengthPrefix(unit->size()))) return releaseSlot();
    if (!writeDataToStandardOutput(*unit)) return releaseSlot();
    recordEncodedFrame(sample->presentationTimeNs);
    releaseSlot();
}

bool CaptureEncoder::writeDataToStandardOutput(const std::vector<std::uint8_t>& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        long n = platform_.writeOutput(bytes.data() + written, bytes.size() - written);
        // A signal arriving mid-write is no reason to end the stream.
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            stop();
            platform_.exit(0);
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

void CaptureEncoder::recordEncodedFrame(std::int64_t presentationTimeNs) {
    std::int64_t now = platform_.monotonicNanoseconds();
    double latencySeconds = static_cast<double>(now - presentationTimeNs) / 1e9;
    std::optional<std::string> line;
    {
        std::lock_guard lock(outputLock_);
        line = statistics_.record(now, latencySeconds);
    }
    if (line) platform_.writeError(*line);
}

}  // namespace veltrane::halvorn
