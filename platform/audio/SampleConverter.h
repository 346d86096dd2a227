#pragma once
// Converts interleaved float audio of one rate and channel count to 48 kHz
// stereo signed 16-bit (libswresample). The resampler keeps its state between
// calls, so one converter serves one stream for as long as its format holds.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

struct SwrContext;

namespace veltrane::audio {

class SampleConverter {
public:
    static constexpr int kOutputRate = 48000;

    // Throws std::runtime_error("Could not create the audio converter").
    SampleConverter(int inputRate, int inputChannels);
    ~SampleConverter();
    SampleConverter(const SampleConverter&) = delete;
    SampleConverter& operator=(const SampleConverter&) = delete;

    int inputRate() const { return inputRate_; }
    int inputChannels() const { return inputChannels_; }

    // Room for what `frames` input frames may give, the resampler's carried
    // frames included: ceil(frames * 48000 / rate) + 32.
    std::size_t outputCapacity(std::size_t frames) const;

    // Interleaved stereo frames, possibly none. Throws std::runtime_error with
    // the converter's own message.
    std::vector<std::int16_t> convert(const float* samples, std::size_t frames);

private:
    int inputRate_;
    int inputChannels_;
    SwrContext* context_ = nullptr;
};

}  // namespace veltrane::audio
