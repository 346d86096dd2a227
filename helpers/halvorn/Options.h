#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::halvorn {

struct Options {
    std::uint32_t displayID = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t fps = 0;
    std::int32_t bitrate = 0;
    bool lengthPrefixed = false;
    bool rotateClockwise = false;
    bool hevc = false;
    // Any signed 64-bit value; the capture clips the rectangle to the display.
    std::optional<std::int64_t> sourceX;
    std::optional<std::int64_t> sourceY;
    std::optional<std::int64_t> sourceWidth;
    std::optional<std::int64_t> sourceHeight;

    // The arguments after the program name. Throws CaptureError ("Missing or
    // invalid --fps") naming the first required option that is absent, last,
    // not a decimal integer, or out of its range: the display ID must fit 32
    // bits unsigned, sizes, frame rate and bit rate must be positive and fit
    // 32 bits signed (zero frames a second would divide by zero).
    static Options parse(const std::vector<std::string>& arguments);

    // An optional sign and decimal digits only, within the signed 64-bit range.
    static std::optional<std::int64_t> parseInteger(const std::string& text);

    // The source rectangle, when all four parts were given with a positive size.
    bool hasSourceRect() const {
        return sourceX && sourceY && sourceWidth && sourceHeight && *sourceWidth >= 1 && *sourceHeight >= 1;
    }
};

}  // namespace veltrane::halvorn
