#include "helpers/brennick/StreamMixer.h"

#include <algorithm>

namespace veltrane::brennick {

void StreamMixer::add(std::uint32_t stream, const std::vector<std::int16_t>& stereoFrames) {
    if (stereoFrames.empty()) return;
    auto& pending = streams_[stream];
    pending.samples.insert(pending.samples.end(), stereoFrames.begin(), stereoFrames.end());
    pending.waitedFor = true;
}

void StreamMixer::remove(std::uint32_t stream) { streams_.erase(stream); }

std::vector<std::vector<std::uint8_t>> StreamMixer::takeBlocks() {
    std::vector<std::vector<std::uint8_t>> blocks;
    const std::size_t blockSamples = kBlockFrames * 2;
    for (;;) {
        std::size_t shortest = SIZE_MAX, longest = 0;
        for (const auto& [id, pending] : streams_) {
            longest = std::max(longest, pending.samples.size());
            if (pending.waitedFor) shortest = std::min(shortest, pending.samples.size());
        }
        if (longest < blockSamples) break;
        const bool forced = shortest < blockSamples;
        if (forced && longest < kMaxLagFrames * 2) break;
        std::vector<std::int32_t> sum(blockSamples, 0);
        for (auto& [id, pending] : streams_) {
            if (forced && pending.samples.size() < blockSamples) pending.waitedFor = false;
            std::size_t take = std::min(blockSamples, pending.samples.size());
            for (std::size_t i = 0; i < take; ++i) sum[i] += pending.samples[i];
            pending.samples.erase(pending.samples.begin(), pending.samples.begin() + static_cast<long>(take));
        }
        std::vector<std::uint8_t> block(blockSamples * 2);
        for (std::size_t i = 0; i < blockSamples; ++i) {
            auto v = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(sum[i], -32768, 32767)));
            block[i * 2] = static_cast<std::uint8_t>(v & 0xff);
            block[i * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

}  // namespace veltrane::brennick
