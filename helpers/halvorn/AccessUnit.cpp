#include "helpers/halvorn/AccessUnit.h"

namespace veltrane::halvorn {

std::optional<std::vector<std::uint8_t>> buildAccessUnit(video::Codec codec, bool keyFrame,
                                                         const std::vector<std::vector<std::uint8_t>>& parameterSets,
                                                         const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> unit;
    unit.reserve(size + 64);
    if (codec == video::Codec::h264)
        unit.insert(unit.end(), std::begin(kAccessUnitDelimiter), std::end(kAccessUnitDelimiter));
    if (keyFrame) {
        std::size_t count = codec == video::Codec::h264 ? 2 : 3;
        for (std::size_t i = 0; i < count && i < parameterSets.size(); ++i) {
            // A set that cannot be read is left out; the next is still tried.
            if (parameterSets[i].empty()) continue;
            unit.insert(unit.end(), std::begin(kStartCode), std::end(kStartCode));
            unit.insert(unit.end(), parameterSets[i].begin(), parameterSets[i].end());
        }
    }
    std::size_t offset = 0;
    while (size - offset >= 4) {
        std::size_t length = (static_cast<std::size_t>(data[offset]) << 24) |
                             (static_cast<std::size_t>(data[offset + 1]) << 16) |
                             (static_cast<std::size_t>(data[offset + 2]) << 8) | data[offset + 3];
        if (length == 0 || length > size - offset - 4) return std::nullopt;
        unit.insert(unit.end(), std::begin(kStartCode), std::end(kStartCode));
        unit.insert(unit.end(), data + offset + 4, data + offset + 4 + length);
        offset += 4 + length;
    }
    return unit;
}

std::vector<std::uint8_t> lengthPrefix(std::size_t unitSize) {
    auto n = static_cast<std::uint32_t>(unitSize);
    return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
            static_cast<std::uint8_t>(n)};
}

}  // namespace veltrane::halvorn
