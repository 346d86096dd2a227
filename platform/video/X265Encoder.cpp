// libx265 behind VideoEncoder, on the shared encoder thread. x265 takes
// planar 4:2:0: the luma plane goes in as it is, the interleaved chroma is
// split into its two planes first.

#include <cstdint>
#include <vector>

extern "C" {
#include <x265.h>
}

#include "platform/video/EncoderThread.h"
#include "platform/video/NalUnits.h"
#include "platform/video/PixelConverter.h"
#include "platform/video/VideoEncoder.h"

namespace veltrane::video {
namespace {

class X265Engine final : public EncoderEngine {
public:
    X265Engine(x265_encoder* encoder, x265_param* param, std::vector<std::vector<std::uint8_t>> parameterSets)
        : encoder_(encoder), param_(param), parameterSets_(std::move(parameterSets)) {}
    ~X265Engine() override {
        x265_encoder_close(encoder_);
        x265_param_free(param_);
    }

    void encode(const PixelBuffer& buffer, std::int64_t presentationTimeNs,
                const VideoEncoder::Output& output) override {
        const int pairs = buffer.width / 2, chromaRows = buffer.height / 2;
        cb_.resize(static_cast<std::size_t>(pairs) * chromaRows);
        cr_.resize(cb_.size());
        for (int row = 0; row < chromaRows; ++row)
            splitChroma(buffer.chroma() + static_cast<std::ptrdiff_t>(row) * buffer.chromaStride(), pairs,
                        cb_.data() + static_cast<std::ptrdiff_t>(row) * pairs,
                        cr_.data() + static_cast<std::ptrdiff_t>(row) * pairs);
        x265_picture in;
        x265_picture_init(param_, &in);
        in.colorSpace = X265_CSP_I420;
        in.bitDepth = 8;
        in.planes[0] = const_cast<std::uint8_t*>(buffer.luma());
        in.planes[1] = cb_.data();
        in.planes[2] = cr_.data();
        in.stride[0] = buffer.lumaStride();
        in.stride[1] = pairs;
        in.stride[2] = pairs;
        in.pts = presentationTimeNs;
        x265_picture out;
        x265_picture_init(param_, &out);
        x265_nal* nals = nullptr;
        std::uint32_t nalCount = 0;
        // x265 copies the picture in before it returns.
        int pictures = x265_encoder_encode(encoder_, &nals, &nalCount, &in, &out);
        if (pictures < 0) return output(pictures, false, nullptr);
        // Without look-ahead, B-frames or frame threads nothing is held back;
        // no picture out is one the encoder dropped.
        if (pictures == 0 || nalCount == 0) return output(0, true, nullptr);
        EncodedSample sample;
        // With bAnnexB off each unit starts with its 4-byte length.
        for (std::uint32_t i = 0; i < nalCount; ++i)
            sample.data.insert(sample.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
        sample.keyFrame = isHEVCKeyPicture(sample.data.data(), sample.data.size());
        sample.presentationTimeNs = out.pts;
        if (sample.keyFrame) sample.parameterSets = parameterSets_;
        output(0, false, &sample);
    }

private:
    x265_encoder* encoder_;
    x265_param* param_;
    const std::vector<std::vector<std::uint8_t>> parameterSets_;
    std::vector<std::uint8_t> cb_, cr_;  // the planes of the picture being encoded
};

class X265Encoder final : public LibraryEncoder {
public:
    using LibraryEncoder::LibraryEncoder;
    ~X265Encoder() override {
        thread_.invalidate();
        if (param_ != nullptr) x265_param_free(param_);
    }

    int defaults() override {
        param_ = x265_param_alloc();
        if (param_ == nullptr) {
            failedCall_ = "x265_param_alloc";
            return -1;
        }
        // The H.264 session's speed-first preset; zerolatency: no look-ahead,
        // no B-frames, one frame thread, no scene cuts.
        int status = x265_param_default_preset(param_, "superfast", "zerolatency");
        if (status != 0) {
            failedCall_ = "x265_param_default_preset";
            return status;
        }
        param_->logLevel = X265_LOG_NONE;
        param_->internalCsp = X265_CSP_I420;
        param_->sourceWidth = width_;
        param_->sourceHeight = height_;
        param_->bAnnexB = 0;
        param_->bRepeatHeaders = 0;
        param_->bEnableAccessUnitDelimiters = 0;
        param_->bEmitInfoSEI = 0;
        param_->bframes = 0;
        return 0;
    }

    int parseProperty(const std::string& key, const std::string& value) override {
        int status = x265_param_parse(param_, key.c_str(), value.c_str());
        if (status != 0) failedCall_ = "x265_param_parse(" + key + ")";
        return status;
    }

    int prepareToEncodeFrames() override {
        if (!profile_.empty()) {
            int status = x265_param_apply_profile(param_, profile_.c_str());
            if (status != 0) {
                failedCall_ = "x265_param_apply_profile";
                return status;
            }
        }
        x265_encoder* encoder = x265_encoder_open(param_);
        if (encoder == nullptr) {
            failedCall_ = "x265_encoder_open";
            return -1;
        }
        x265_nal* nals = nullptr;
        std::uint32_t nalCount = 0;
        if (x265_encoder_headers(encoder, &nals, &nalCount) < 0) {
            x265_encoder_close(encoder);
            failedCall_ = "x265_encoder_headers";
            return -1;
        }
        // VPS, SPS and PPS describe the format; a header SEI does not. Each
        // payload starts with its 4-byte length.
        std::vector<std::vector<std::uint8_t>> parameterSets;
        for (std::uint32_t kind : {NAL_UNIT_VPS, NAL_UNIT_SPS, NAL_UNIT_PPS})
            for (std::uint32_t i = 0; i < nalCount; ++i)
                if (nals[i].type == kind && nals[i].sizeBytes > 4)
                    parameterSets.emplace_back(nals[i].payload + 4, nals[i].payload + nals[i].sizeBytes);
        // The engine owns the parameters from here: x265 reads them while
        // pictures are initialised.
        x265_param* param = param_;
        param_ = nullptr;
        thread_.start(std::make_unique<X265Engine>(encoder, param, std::move(parameterSets)), "x265.encoder");
        return 0;
    }

private:
    x265_param* param_ = nullptr;  // until the encoder is open
};

}  // namespace

std::unique_ptr<VideoEncoder> createX265Encoder(int width, int height, VideoEncoder::Output output, int& status,
                                                std::string& failedCall) {
    return createLibraryEncoder<X265Encoder>(width, height, std::move(output), status, failedCall);
}

}  // namespace veltrane::video
