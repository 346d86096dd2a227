#pragma once
// JPEG or PNG bytes decoded only after their header's declared size passed a
// bound, so a small file cannot make us allocate gigabytes.

#include <optional>
#include <string_view>

#include "platform/image/RGBAImage.h"

namespace veltrane::image {

struct DecodeBounds {
    int maxSide = 0;          // per side
    long long maxPixels = 0;  // width x height
};

bool hasJPEGSignature(std::string_view bytes);  // FF D8
bool hasPNGSignature(std::string_view bytes);   // the full eight-byte signature

// None for anything but a JPEG or PNG, a declared side that is not positive
// or over the bounds, and what the decoder refuses.
std::optional<RGBAImage> decodeWithin(std::string_view bytes, DecodeBounds bounds);

}  // namespace veltrane::image
