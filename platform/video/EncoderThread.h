#pragma once
// The encoder thread every library-backed VideoEncoder shares: pictures are
// queued to one thread, which encodes them in order and hands each result to
// the output there.

#include <cstdint>
#include <memory>
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

}  // namespace veltrane::video
