// Capture cycles of any layout from arbitrary bytes: one interleaved buffer or
// several planar ones, with missing or short data. The chunk holds exactly the
// first buffer's whole frames, never reads outside a buffer (ASan), and every
// sample stays within -32767..32767.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "helpers/brennick/CoreAudioTapCapture.h"

using veltrane::audio::FloatBuffer;
using veltrane::brennick::CoreAudioTapCapture;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // Byte 0: buffer count (0..3); then per buffer: channels, a flag byte
    // (bit 0: no data), a length in floats; the rest fills the buffers in turn.
    std::size_t count = data[0] % 4, at = 1;
    struct Plan {
        unsigned channels;
        bool noData;
        std::size_t floats;
    };
    std::vector<Plan> plans;
    for (std::size_t i = 0; i < count; ++i) {
        if (at + 3 > size) return 0;
        plans.push_back({data[at] % 9u, (data[at + 1] & 1) != 0, data[at + 2] * 4u + (data[at + 1] >> 6)});
        at += 3;
    }
    std::vector<std::unique_ptr<float[]>> storage;
    std::vector<FloatBuffer> buffers;
    for (const auto& plan : plans) {
        storage.emplace_back(plan.floats ? new float[plan.floats] : nullptr);
        for (std::size_t f = 0; f < plan.floats; ++f) {
            float value = 0;
            if (at + 4 <= size) {
                std::memcpy(&value, data + at, 4);
                at += 4;
            }
            storage.back()[f] = value;
        }
        buffers.push_back({plan.channels, plan.noData ? nullptr : storage.back().get(), plan.floats * sizeof(float)});
    }
    auto chunk = CoreAudioTapCapture::pcm16FromBuffers(veltrane::audio::FloatBufferList(buffers.data(), buffers.size()));
    std::size_t frames = 0;
    if (!plans.empty()) {
        unsigned perFrame = plans.size() == 1 ? (plans[0].channels ? plans[0].channels : 1) : 1;
        frames = plans[0].floats / perFrame;
    }
    if (chunk.size() != frames * 4) std::abort();
    for (std::size_t i = 0; i + 1 < chunk.size(); i += 2) {
        auto sample = static_cast<std::int16_t>(chunk[i] | (chunk[i + 1] << 8));
        if (sample < -32767) std::abort();
    }
    return 0;
}
