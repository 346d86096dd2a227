#include "ControlDeckCore/server/pairing/QRCodePNG.h"

#include <cmath>

#include "platform/image/QRCodeImage.h"

namespace veltrane::deck {

std::string QRCodePNG::make(std::string_view text, double scale) {
    // Whole pixels keep every module edge sharp for the camera.
    const double pixels = std::round(scale);
    if (!std::isfinite(pixels) || pixels < 1 || pixels > image::kMaxImageSide) return {};
    return image::qrCodePNG(text, static_cast<int>(pixels));
}

}  // namespace veltrane::deck
