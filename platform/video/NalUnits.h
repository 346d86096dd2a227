#pragma once
// What the encoders' output says about itself: NAL unit types read from the
// 4-byte length-prefixed units they produce.

#include <cstddef>
#include <cstdint>

namespace veltrane::video {

// HEVC keeps the type in bits 1-6 of the header's first byte.
constexpr int hevcNalType(std::uint8_t firstByte) { return (firstByte >> 1) & 0x3F; }

// HEVC types the stream uses by name.
inline constexpr int kHEVCVideoParameterSet = 32;
inline constexpr int kHEVCSequenceParameterSet = 33;
inline constexpr int kHEVCPictureParameterSet = 34;
inline constexpr int kHEVCAccessUnitDelimiter = 35;

// Intra random access points (BLA, IDR, CRA and the two reserved types): a
// decoder can start there.
constexpr bool isHEVCRandomAccessPoint(int type) { return type >= 16 && type <= 23; }

// Whether a length-prefixed HEVC picture holds an IRAP slice, the mark of a
// key picture. The walk stops at a length that is 0 or runs past the end.
bool isHEVCKeyPicture(const std::uint8_t* data, std::size_t size);

}  // namespace veltrane::video
