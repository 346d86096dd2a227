// libx264 behind VideoEncoder, on the shared encoder thread.

#include <cstdint>
#include <cstring>

extern "C" {
#include <x264.h>
}

#include "platform/video/EncoderThread.h"
#include "platform/video/VideoEncoder.h"

namespace veltrane::video {
namespace {

class X264Engine final : public EncoderEngine {
public:
    X264Engine(x264_t* encoder, std::vector<std::vector<std::uint8_t>> parameterSets)
        : encoder_(encoder), parameterSets_(std::move(parameterSets)) {}
    ~X264Engine() override { x264_encoder_close(encoder_); }

    void encode(const PixelBuffer& buffer, std::int64_t presentationTimeNs,
                const VideoEncoder::Output& output) override {
        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_NV12;
        in.img.i_plane = 2;
        in.img.plane[0] = const_cast<std::uint8_t*>(buffer.luma());
        in.img.plane[1] = const_cast<std::uint8_t*>(buffer.chroma());
        in.img.i_stride[0] = buffer.lumaStride();
        in.img.i_stride[1] = buffer.chromaStride();
        in.i_pts = presentationTimeNs;
        x264_picture_t out;
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        int size = x264_encoder_encode(encoder_, &nals, &nalCount, &in, &out);
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
        if (sample.keyFrame) sample.parameterSets = parameterSets_;
        output(0, false, &sample);
    }

private:
    x264_t* encoder_;
    const std::vector<std::vector<std::uint8_t>> parameterSets_;
};

class X264Encoder final : public LibraryEncoder {
public:
    using LibraryEncoder::LibraryEncoder;

    int defaults() override {
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

    int parseProperty(const std::string& key, const std::string& value) override {
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
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        if (x264_encoder_headers(encoder, &nals, &nalCount) < 0) {
            x264_encoder_close(encoder);
            failedCall_ = "x264_encoder_headers";
            return -1;
        }
        // The headers also carry x264's version SEI; only SPS and PPS describe
        // the format. Each payload starts with its 4-byte length.
        std::vector<std::vector<std::uint8_t>> parameterSets;
        for (int kind : {NAL_SPS, NAL_PPS})
            for (int i = 0; i < nalCount; ++i)
                if (nals[i].i_type == kind && nals[i].i_payload > 4)
                    parameterSets.emplace_back(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
        thread_.start(std::make_unique<X264Engine>(encoder, std::move(parameterSets)), "x264.encoder");
        return 0;
    }

private:
    x264_param_t param_{};
};

}  // namespace

std::unique_ptr<VideoEncoder> createX264Encoder(int width, int height, VideoEncoder::Output output, int& status,
                                                std::string& failedCall) {
    return createLibraryEncoder<X264Encoder>(width, height, std::move(output), status, failedCall);
}

}  // namespace veltrane::video
