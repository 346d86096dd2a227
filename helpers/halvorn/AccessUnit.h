#pragma once
// One encoded picture as it leaves on standard output: an Annex-B access
// unit, start codes in place of the encoder's 4-byte NAL lengths.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/video/VideoEncoder.h"

namespace veltrane::halvorn {

inline constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};
// Access-unit delimiter, any slice type (primary_pic_type 7).
inline constexpr std::uint8_t kAccessUnitDelimiter[6] = {0, 0, 0, 1, 0x09, 0xF0};

// H.264: the delimiter, then on a key picture SPS and PPS (HEVC: VPS, SPS,
// PPS and no delimiter), then every NAL unit of `data`. Trailing bytes too
// few for a length are ignored. None when a NAL length is 0 or runs past the
// end: the whole picture is left out.
std::optional<std::vector<std::uint8_t>> buildAccessUnit(video::Codec codec, bool keyFrame,
                                                         const std::vector<std::vector<std::uint8_t>>& parameterSets,
                                                         const std::uint8_t* data, std::size_t size);

// The unit's size, 4 bytes big-endian, for --length-prefix.
std::vector<std::uint8_t> lengthPrefix(std::size_t unitSize);

}  // namespace veltrane::halvorn
