#pragma once
// Mixes the 48 kHz stereo 16-bit output of several streams into one, in
// blocks of 10 ms, so two applications' sound never alternates packet by
// packet. A block goes out once every active stream has it; a stream 100 ms
// behind the others (paused, or ended) stops being waited for until it plays
// again.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace veltrane::brennick {

class StreamMixer {
public:
    static constexpr std::size_t kBlockFrames = 480;
    static constexpr std::size_t kMaxLagFrames = 4800;

    void add(std::uint32_t stream, const std::vector<std::int16_t>& stereoFrames);
    void remove(std::uint32_t stream);
    // Every block ready to go, each as packet bytes (little-endian frames).
    std::vector<std::vector<std::uint8_t>> takeBlocks();

private:
    struct Pending {
        std::deque<std::int16_t> samples;
        bool waitedFor = true;
    };
    std::map<std::uint32_t, Pending> streams_;
};

}  // namespace veltrane::brennick
