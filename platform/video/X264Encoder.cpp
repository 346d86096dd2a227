// libx264 behind VideoEncoder: pictures are queued to one encoder thread,
// which encodes them in order and hands each result to the output there.

#include <pthread.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

extern "C" {
#include <x264.h>
}

#include "platform/video/VideoEncoder.h"

namespace veltrane::video {
namespace {

struct Pending {
    std::shared_ptr<const PixelBuffer> picture;
    std::int64_t presentationTimeNs;
};

// Shared with the encoder thread, which may outlive the session object when
// the session is ended from inside its own output.
struct EncoderState {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Pending> queue;  // under mutex
    bool busy = false;          // under mutex: a picture is being encoded
    bool closed = false;        // under mutex
    x264_t* encoder = nullptr;  // on the encoder thread once it runs
    std::vector<std::vector<std::uint8_t>> parameterSets;
    VideoEncoder::Output output;
    std::thread::id threadID;

    ~EncoderState() {
        if (encoder != nullptr) x264_encoder_close(encoder);
    }

    void run() {
        for (;;) {
            Pending next;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return closed || !queue.empty(); });
                if (closed) return;
                next = std::move(queue.front());
                queue.pop_front();
                busy = true;
            }
            encode(next);
            {
                std::lock_guard lock(mutex);
                busy = false;
            }
            changed.notify_all();
        }
    }

    void encode(const Pending& pending) {
        const PixelBuffer& buffer = *pending.picture;
        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_NV12;
        in.img.i_plane = 2;
        in.img.plane[0] = const_cast<std::uint8_t*>(buffer.luma());
        in.img.plane[1] = const_cast<std::uint8_t*>(buffer.chroma());
        in.img.i_stride[0] = buffer.lumaStride();
        in.img.i_stride[1] = buffer.chromaStride();
        in.i_pts = pending.presentationTimeNs;
        x264_picture_t out;
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        int size = x264_encoder_encode(encoder, &nals, &nalCount, &in, &out);
        if (size < 0) return output(size, false, nullptr);
        // Without look-ahead nothing is held back; an empty result is a
        // picture the encoder dropped.
        if (size == 0 || nalCount == 0) return output(0, true, nullptr);
        EncodedSample sample;
        // With b_annexb off the NAL units lie one after another, each behind
        // its 4-byte length.
        sample.data.assign(nals[0].p_payload, nals[0].p_payload + size);
        sample.keyFrame = out.b_keyframe != 0;
        sample.presentationTimeNs = out.i_pts;
        if (sample.keyFrame) sample.parameterSets = parameterSets;
        output(0, false, &sample);
    }
};

class X264Encoder final : public VideoEncoder {
public:
    X264Encoder(int width, int height, Output output) : state_(std::make_shared<EncoderState>()) {
        state_->output = std::move(output);
        width_ = width;
        height_ = height;
    }

    ~X264Encoder() override { invalidate(); }

    int defaults() {
        // Speed first; superfast keeps the deblocking filter that ultrafast
        // drops. zerolatency: no look-ahead, no frame threads, no B-frames.
        int status = x264_param_default_preset(&param_, "superfast", "zerolatency");
        if (status != 0) {
            failedCall_ = "x264_param_default_preset";
            return status;
        }
        param_.i_log_level = X264_LOG_NONE;
        param_.i_csp = X264_CSP_NV12;
        param_.i_width = width_;
        param_.i_height = height_;
        param_.b_vfr_input = 0;
        param_.b_annexb = 0;
        param_.b_repeat_headers = 0;
        param_.b_aud = 0;
        param_.i_bframe = 0;
        return 0;
    }

    int setProperty(const std::string& key, const std::string& value) override {
        if (key == "profile") {
            profile_ = value;
            return 0;
        }
        int status = x264_param_parse(&param_, key.c_str(), value.c_str());
        if (status != 0) failedCall_ = "x264_param_parse(" + key + ")";
        return status;
    }

    int prepareToEncodeFrames() override {
        if (!profile_.empty()) {
            int status = x264_param_apply_profile(&param_, profile_.c_str());
            if (status != 0) {
                failedCall_ = "x264_param_apply_profile";
                return status;
            }
        }
        x264_t* encoder = x264_encoder_open(&param_);
        if (encoder == nullptr) {
            failedCall_ = "x264_encoder_open";
            return -1;
        }
        state_->encoder = encoder;
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        if (x264_encoder_headers(encoder, &nals, &nalCount) < 0) {
            failedCall_ = "x264_encoder_headers";
            return -1;
        }
        // The headers also carry x264's version SEI; only SPS and PPS describe
        // the format. Each payload starts with its 4-byte length.
        for (int kind : {NAL_SPS, NAL_PPS})
            for (int i = 0; i < nalCount; ++i)
                if (nals[i].i_type == kind && nals[i].i_payload > 4)
                    state_->parameterSets.emplace_back(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
        auto state = state_;
        thread_ = std::thread([state] {
            pthread_setname_np(pthread_self(), "x264.encoder");
            {
                std::lock_guard lock(state->mutex);
                state->threadID = std::this_thread::get_id();
            }
            state->changed.notify_all();
            state->run();
        });
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return state_->threadID != std::thread::id(); });
        threadID_ = state_->threadID;
        return 0;
    }

    int encodeFrame(std::shared_ptr<const PixelBuffer> picture, std::int64_t presentationTimeNs) override {
        if (picture == nullptr || picture->width != width_ || picture->height != height_) return -1;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->closed || !thread_.joinable()) return -1;
            state_->queue.push_back({std::move(picture), presentationTimeNs});
        }
        state_->changed.notify_all();
        return 0;
    }

    void completeFrames() override {
        if (std::this_thread::get_id() == threadID_) return;
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return state_->closed || (state_->queue.empty() && !state_->busy); });
    }

    void invalidate() override {
        {
            std::lock_guard lock(state_->mutex);
            state_->closed = true;
            state_->queue.clear();
        }
        state_->changed.notify_all();
        if (!thread_.joinable()) return;
        // The encoder thread holds the state; ending it from its own output
        // lets it finish by itself.
        if (std::this_thread::get_id() == threadID_) thread_.detach();
        else thread_.join();
    }

    std::string lastFailedCall() const override { return failedCall_; }

private:
    std::shared_ptr<EncoderState> state_;
    x264_param_t param_{};
    std::string profile_;
    std::string failedCall_;
    std::thread thread_;
    std::thread::id threadID_;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace

std::unique_ptr<VideoEncoder> createX264Encoder(int width, int height, VideoEncoder::Output output, int& status,
                                                std::string& failedCall) {
    auto encoder = std::make_unique<X264Encoder>(width, height, std::move(output));
    status = encoder->defaults();
    if (status != 0) {
        failedCall = encoder->lastFailedCall();
        return nullptr;
    }
    return encoder;
}

}  // namespace veltrane::video
