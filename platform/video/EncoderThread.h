#pragma once
// The encoder thread every library-backed VideoEncoder shares: pictures are
// queued to one thread, which encodes them in order and hands each result to
// the output there.

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/video/VideoEncoder.h"

namespace veltrane::video {

// One library's encoder, used on the encoder thread only. It is released on
// whichever thread lets go of it last (the encoder thread itself when the
// session is ended from inside its own output).
class EncoderEngine {
public:
    virtual ~EncoderEngine() = default;
    virtual void encode(const PixelBuffer& picture, std::int64_t presentationTimeNs,
                        const VideoEncoder::Output& output) = 0;
};

class EncoderThread {
public:
    explicit EncoderThread(VideoEncoder::Output output);
    ~EncoderThread();
    EncoderThread(const EncoderThread&) = delete;
    EncoderThread& operator=(const EncoderThread&) = delete;

    // Starts the thread (named `name`) on an opened engine.
    void start(std::unique_ptr<EncoderEngine> engine, const char* name);
    // 0, or -1 when the thread is not running or the session has ended.
    int enqueue(std::shared_ptr<const PixelBuffer> picture, std::int64_t presentationTimeNs);
    // The VideoEncoder calls of the same names.
    void completeFrames();
    void invalidate();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
    std::thread::id threadID_;
};

// What the library encoders share: pictures of one size queued to the
// encoder thread, the profile kept until the encoder opens, the name of the
// call that failed last.
class LibraryEncoder : public VideoEncoder {
public:
    LibraryEncoder(int width, int height, Output output) : thread_(std::move(output)), width_(width), height_(height) {}

    // The library's defaults for this size; 0 or the failed call's status.
    virtual int defaults() = 0;

    int setProperty(const std::string& key, const std::string& value) final {
        if (key == "profile") {
            profile_ = value;
            return 0;
        }
        return parseProperty(key, value);
    }
    int encodeFrame(std::shared_ptr<const PixelBuffer> picture, std::int64_t presentationTimeNs) final {
        if (picture == nullptr || picture->width != width_ || picture->height != height_) return -1;
        return thread_.enqueue(std::move(picture), presentationTimeNs);
    }
    void completeFrames() final { thread_.completeFrames(); }
    void invalidate() final { thread_.invalidate(); }
    std::string lastFailedCall() const final { return failedCall_; }

protected:
    // A property by the library's own name; sets `failedCall_` on failure.
    virtual int parseProperty(const std::string& key, const std::string& value) = 0;

    EncoderThread thread_;
    std::string profile_;  // applied when the encoder opens
    std::string failedCall_;
    const int width_;
    const int height_;
};

// A library encoder with its defaults applied; null with `status` and
// `failedCall` set when the library refuses them.
template <class Encoder>
std::unique_ptr<VideoEncoder> createLibraryEncoder(int width, int height, VideoEncoder::Output output, int& status,
                                                   std::string& failedCall) {
    auto encoder = std::make_unique<Encoder>(width, height, std::move(output));
    status = encoder->defaults();
    if (status != 0) {
        failedCall = encoder->lastFailedCall();
        return nullptr;
    }
    return encoder;
}

}  // namespace veltrane::video
