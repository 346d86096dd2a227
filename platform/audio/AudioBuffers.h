#pragma once
// One cycle of captured 32-bit float audio: a single interleaved buffer, or
// one buffer per channel.

#include <cstddef>
#include <span>

namespace veltrane::audio {

struct FloatBuffer {
    unsigned channels = 0;        // samples per frame in this buffer
    const float* data = nullptr;  // may be null: a buffer without data
    std::size_t byteSize = 0;
};

using FloatBufferList = std::span<const FloatBuffer>;

}  // namespace veltrane::audio
