#include "platform/audio/SampleConverter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <climits>

namespace veltrane::audio {

SampleConverter::SampleConverter(int inputRate, int inputChannels)
    : inputRate_(inputRate), inputChannels_(inputChannels) {
    if (inputRate <= 0 || inputChannels <= 0 || inputChannels > 64)
        throw std::runtime_error("Could not create the audio converter");
    AVChannelLayout in{}, out{};
    av_channel_layout_default(&in, inputChannels);
    av_channel_layout_default(&out, 2);
    int status = swr_alloc_set_opts2(&context_, &out, AV_SAMPLE_FMT_S16, kOutputRate, &in, AV_SAMPLE_FMT_FLT,
                                     inputRate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (status < 0 || !context_ || swr_init(context_) < 0) {
        swr_free(&context_);
        throw std::runtime_error("Could not create the audio converter");
    }
}

SampleConverter::~SampleConverter() { swr_free(&context_); }

std::size_t SampleConverter::outputCapacity(std::size_t frames) const {
    return (frames * kOutputRate + static_cast<std::size_t>(inputRate_) - 1) / static_cast<std::size_t>(inputRate_) + 32;
}

std::vector<std::int16_t> SampleConverter::convert(const float* samples, std::size_t frames) {
    if (frames == 0 || frames > INT_MAX / 2) return {};
    std::size_t capacity = outputCapacity(frames);
    std::vector<std::int16_t> output(capacity * 2);
    auto* out = reinterpret_cast<std::uint8_t*>(output.data());
    const auto* in = reinterpret_cast<const std::uint8_t*>(samples);
    int produced = swr_convert(context_, &out, static_cast<int>(capacity), &in, static_cast<int>(frames));
    if (produced < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(produced, text, sizeof text);
        throw std::runtime_error(text);
    }
    output.resize(static_cast<std::size_t>(produced) * 2);
    return output;
}

}  // namespace veltrane::audio
