#pragma once
// Scaling by area averaging: each target pixel is the mean of the source area
// it covers, so downscaled artwork keeps its detail without aliasing.

#include "platform/image/RGBAImage.h"

namespace veltrane::image {

// The image drawn over a transparent bitmap of `width` x `height` (both at
// least 1) and its alpha dropped: transparent parts end black, as a JPEG
// encoder sees them. The result is opaque.
RGBAImage redrawOverTransparent(const RGBAImage& source, int width, int height);

}  // namespace veltrane::image
